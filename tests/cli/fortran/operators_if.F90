#define N 3
#define TWO 2
#define IS_THREE(x) x.eq.3
! Each line names an expression and says T when it is true, F when false.
#if 1.eq.1
 1.eq.1 T
#endif
#if N.eq.3 .and. N.NE.4
 equal and not equal T
#endif
#if 2.lt.N .and. N.le.3 .and. N.gt.2 .and. N.ge.3 .and. .not. N.lt.3
 relations T
#endif
#if 1 .or. 0 .eqv. 0
 1 .or. 0 .eqv. 0 T
#else
 1 .or. 0 .eqv. 0 F
#endif
#if 0 .and. 0 .eqv. 1 .and. 0
 0 .and. 0 .eqv. 1 .and. 0 T
#endif
#if .not. 0 .and. 0
 .not. 0 .and. 0 T
#else
 .not. 0 .and. 0 F
#endif
#if .not. 1 .eq. 2
 .not. 1 .eq. 2 T
#endif
#if 2 .eqv. 1
 2 .eqv. 1 T
#endif
#if 2 .neqv. 1
 2 .neqv. 1 T
#else
 2 .neqv. 1 F
#endif
#if 1 .neqv. 0 .neqv. 1
 1 .neqv. 0 .neqv. 1 T
#else
 1 .neqv. 0 .neqv. 1 F
#endif
#if 1 & 2 .eq. 0
 1 & 2 .eq. 0 T
#endif
#if .TRUE. .AND. .not. .False.
 .TRUE. .AND. .not. .False. T
#endif
#if IS_THREE(N) .and. IS_THREE(TWO+1) .and. .not. IS_THREE(TWO)
 IS_THREE T
#endif
#if (1 .or. 0) .and. 0 || 1 .eqv. 1 ? 5 .eq. 5 : 0
 mixed with C operators T
#endif
#if 1 .eq.
 missing operand (a syntax error)
#endif
#if 1 + .not. 0
 not after plus (a syntax error)
#endif
