      x = S // B // N
