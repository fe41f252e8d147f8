#include "f23.h"
