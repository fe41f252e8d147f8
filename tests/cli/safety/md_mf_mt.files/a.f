

# 1 "part.h"
      y = 1


# 2 "md_mf_mt.F"
      x = 1
