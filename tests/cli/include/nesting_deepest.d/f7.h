#include "f8.h"
