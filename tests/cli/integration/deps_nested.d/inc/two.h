#define N 42
