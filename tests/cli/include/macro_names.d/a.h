      quoted
