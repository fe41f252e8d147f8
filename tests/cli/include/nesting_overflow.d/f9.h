#include "f10.h"
