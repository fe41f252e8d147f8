#include "f6.h"
