! inc/c.h
