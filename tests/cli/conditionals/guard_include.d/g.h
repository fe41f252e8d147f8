
#ifndef GUARD_H
#define GUARD_H
      g = 1
#endif

  
