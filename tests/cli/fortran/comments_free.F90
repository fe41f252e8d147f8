#define N 10
      x = 1 ! files in work/* are removed, N stays
      y = N ! it's N, ??= and a backslash \
      z = N
      a = N != N ! N
!$ x = N
!$omp parallel do num_threads(N)
!$OMP END PARALLEL DO
!$acc kernels N
!dir$ ivdep N
!DEC$ ATTRIBUTES N
!gcc$ builtin N
!$ompx N
!$nothing N
      s = 'not ! a comment N' ! but this is N
#ifdef NOPE
      x = 1 ! a skipped /* comment
#endif
      w = N
