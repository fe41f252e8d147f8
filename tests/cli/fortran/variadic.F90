#define LOG(fmt, ...) write(*, fmt) __VA_ARGS__
#define SHOW(...) print *, #__VA_ARGS__, __VA_ARGS__
#define FIRST(a, ...) a
#define NEST(...) LOG('(3i4)', __VA_ARGS__)
#define LOG(fmt, ...) write(*, fmt) __VA_ARGS__
      LOG('(a)', 'one')
      LOG('(2i4)', i, j)
      LOG('(a)')
      LOG('(i4)', f(i, j))
      SHOW(x, y(1, 2), z)
      SHOW()
      x = FIRST(1, 2, 3) + FIRST(4)
      NEST(i, j, k)
#if FIRST(1, 0, 0) .and. FIRST(1)
      in_if = 1
#endif
#define TWO(a, b, ...) a b
      TWO(1)
#define BAD(..., a) a
#define BAD2(a, ... b) a
      BAD(1)
#define FIRST(a, b) a
#define SHOW(x) x
#define L LOG
#define ID(x) x
      L('(2i4)', i, j)
      ID(LOG)('(a)', x, y)
      L('(a)')
