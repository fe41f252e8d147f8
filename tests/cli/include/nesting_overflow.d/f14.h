#include "f15.h"
