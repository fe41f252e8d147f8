#include "f4.h"
