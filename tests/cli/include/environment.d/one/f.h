f from one
