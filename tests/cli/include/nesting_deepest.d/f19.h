#include "f20.h"
