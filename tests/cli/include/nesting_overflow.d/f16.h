#include "f17.h"
