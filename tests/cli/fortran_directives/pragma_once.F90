! A file with #pragma once is read once, under any name.
#include "once.h"
#include "once.h"
#include "sub/../once.h"
#include "sub/twice.h"
#include "sub/twice.h"
#pragma once
#include "pragma_once.F90"
      end
