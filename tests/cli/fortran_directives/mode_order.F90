! --fortran then -nom: directives still work, code lines are copied as they stand
#define N 10
#if N == 10
      integer, parameter :: k = N
#endif
#pragma push_macro("N")
#undef N
#pragma pop_macro("N")
#ifdef N
      logical, parameter :: restored = .true.
#endif
      end
