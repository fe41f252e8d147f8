b from inc
