! inc/y.h
