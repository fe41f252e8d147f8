

# 1 "user.h"
      u = 1



# 1 "sys/sys.h"
      s = 1

