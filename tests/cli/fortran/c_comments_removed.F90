#define UD_TESTS_INC
#ifdef UD_TESTS_INC
      x = a /* inline */ + b
#endif /* UD_TESTS_INC */
/* A licence comment
   shared with C */
      y = wrap_/**/name
#define MAYBEWRAP(name) wrap_/**/name
#define MAYBEWRAP(name) wrap_/**/name
#define SPACED(name) wrap_ /**/name
      call MAYBEWRAP(json_get)(p)
      call SPACED(json_get)(p)
      z = 1/**/2
