#include "f7.h"
