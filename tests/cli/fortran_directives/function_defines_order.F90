      x = ADD(1,2)
      y = OBJ(1,2)
      z = LATE(3)
      end
