#include "f24.h"
