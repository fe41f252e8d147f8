c from inc2
