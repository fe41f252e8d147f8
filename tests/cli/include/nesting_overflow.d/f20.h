#include "f21.h"
