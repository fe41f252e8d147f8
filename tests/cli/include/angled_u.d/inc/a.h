a from inc
