#include "f26.h"
