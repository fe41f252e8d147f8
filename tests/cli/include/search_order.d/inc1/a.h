a from inc1
