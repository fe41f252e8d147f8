! src/y.h
