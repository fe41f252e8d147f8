#define N 7
      this text is discarded
