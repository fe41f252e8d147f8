e from two
