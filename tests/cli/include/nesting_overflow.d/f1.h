#include "f2.h"
