#include "f12.h"
