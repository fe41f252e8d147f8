#include "f22.h"
