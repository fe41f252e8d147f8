#ifndef CONSTS_H
#define CONSTS_H
      INTEGER NMAX
      PARAMETER (NMAX = 10)
#endif
