! Quoted names are looked for next to the file that includes them, then along -I.
#include "src/top.h"
#include "c.h"
      end
