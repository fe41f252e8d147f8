c in sub
