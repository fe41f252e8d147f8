#define CAT(a,b) a // b
      X = CAT(x, y)
