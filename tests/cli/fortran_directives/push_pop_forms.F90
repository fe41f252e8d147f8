! Forms that are no push_macro or pop_macro call are reported and passed over.
#define WK 4
#pragma push_macro(WK)
#pragma pop_macro "WK"
#pragma push_macro
#pragma push_macro("__LINE__")
      x = __LINE__
      x = WK
      end
