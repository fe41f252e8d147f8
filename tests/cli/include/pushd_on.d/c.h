c beside main
