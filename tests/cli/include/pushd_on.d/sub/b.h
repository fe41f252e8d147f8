#include "c.h"
b after c
