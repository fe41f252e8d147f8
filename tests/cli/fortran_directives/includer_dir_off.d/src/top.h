! src/top.h
#include "sub/b.h"
#include "c.h"
#include "x.h"
