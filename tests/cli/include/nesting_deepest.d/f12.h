#include "f13.h"
