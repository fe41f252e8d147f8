      x = ADD(1,2)
      z = ONE(7)
      w = SPACED(3)
      end
