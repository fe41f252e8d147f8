#include "f18.h"
