#include "f5.h"
