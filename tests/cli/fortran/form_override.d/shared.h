C     fixed like its includer N
      A = N
