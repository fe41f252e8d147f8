#define N 10
#define CAT(a, b) a // b
#define LONG 1 + \
  2
      s = 'a' // N // 'b??=' ! x ??/
      t = N \
      u = N ??/
      v = CAT(N, 'x') + LONG
