#warning   shown as a warning /* with a comment */ text
#if 0
#warning in a skipped group
#endif
#ifdef NOT_DEFINED
#else
#warning configuration: default
#endif
      end
