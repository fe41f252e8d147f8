#define N 7
#define eq EQ_MACRO
#define and AND_MACRO
#define e5 E5_MACRO
#define d0 D0_MACRO
#define dp DP_MACRO
#define real64 R64_MACRO
#define CMP(a, b) (a.eq.b .or. a.GT.b)
      if (1.eq.N) x = 1
      if (N.ne.1 .and. 2.LT.N .Or. .not. N.ge.3.and.N.le.4) y = 2
      l = 1.eqv.N .neqv. N.true.N .FALSE. .True.
      r = 1.e5 + 1.d0 + 1.E+05 + 3._dp + 2.5_real64 + 1. + 1.5e3.gt.N
      z = CMP(N, 2) .and. CMP(1.e5, N)
      w = a.foo.N + b.eqx.N + 1.e.N
