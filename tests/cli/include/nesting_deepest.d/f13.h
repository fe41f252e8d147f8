#include "f14.h"
