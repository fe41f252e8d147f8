! src/c.h
