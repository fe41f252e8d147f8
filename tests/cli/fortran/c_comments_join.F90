#define N 10
#define M 1 + 2
#define wrap_N 99
      x = wrap_/**/N
      y = N/**/N
      y = M/**/M
      y = N /**/N
      y = a/**/M
#define P(a) a/**/N
      z = P(wrap_)
