#ifndef NPROC
#error NPROC must be set
#endif
#if 0
#error in a skipped group
#endif
      end
