#ifndef SQUARE_H
#define SQUARE_H
#define SQUARE(x) ((x)*(x))
#ifdef SQUARES
#define LABEL 'SQUARES'
#else
#define LABEL 'SUM'
#endif
#endif
