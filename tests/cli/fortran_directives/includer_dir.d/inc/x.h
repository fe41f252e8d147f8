! inc/x.h
#include "y.h"
