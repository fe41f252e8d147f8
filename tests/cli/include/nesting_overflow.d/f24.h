#include "f25.h"
