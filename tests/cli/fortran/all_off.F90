#define N 10
#define T(x) 'x'
#define W(n) wrap_/**/n
#ifdef X
#endif /* X */
      x = 1 ! it's N
      y = W(N) // T(N) // 'a\'b' ??= N
      z = N // N \
      w = N
