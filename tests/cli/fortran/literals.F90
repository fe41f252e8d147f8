#define N 10
#define T(x) 'x'
#define S(x, y) "x: don""t y" // 'y''s'
      s = 'it''s N' // "say ""N""" // N
      t = 'a\' // N // "b\" // N
      u = T(hello) // S(one, two)
      v = 'open N
      w = N
      y = L'a\' // N // 'b'
