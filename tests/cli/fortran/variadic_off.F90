#define LOG(fmt, ...) write(*, fmt) __VA_ARGS__
      LOG('(2i4)', i, j)
