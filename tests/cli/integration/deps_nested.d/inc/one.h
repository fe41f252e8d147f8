#ifndef ONE_H
#define ONE_H
#include "inc/two.h"
#endif
