#define N 7
#define and AND_MACRO
      if (1.eq.N .and. N.gt.1) x = 1
#if 1 .eq. 1
      ops_in_if = 1
#endif
