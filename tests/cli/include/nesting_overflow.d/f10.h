#include "f11.h"
