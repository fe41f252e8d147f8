dir.h from inc
