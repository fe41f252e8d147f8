f from two
