#include "f9.h"
