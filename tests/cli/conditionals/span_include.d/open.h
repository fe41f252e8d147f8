#if 0
      a = 1
