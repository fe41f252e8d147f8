#include "f3.h"
