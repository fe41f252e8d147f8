#include "f16.h"
