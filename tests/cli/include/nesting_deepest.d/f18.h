#include "f19.h"
