#ifdef X
#endif /* X */
      y = wrap_/**/name
#define MAYBEWRAP(name) wrap_/**/name
      call MAYBEWRAP(json_get)(p)
