! src/sub/c.h
