a from inc2
