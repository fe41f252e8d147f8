
#ifndef GUARD_H
#define GUARD_H
      g = 1
#else
      twice = 1
#endif
