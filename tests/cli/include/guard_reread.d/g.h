
/* a comment before the guard */
#ifndef G_H
#define G_H
      guarded
#endif

