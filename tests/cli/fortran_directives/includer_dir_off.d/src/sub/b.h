! src/sub/b.h
#include "c.h"
