! Each name has its own stack; a pop brings back the definition, or the absence of one.
#define WK 4
#define F(a) (a+WK)
#pragma push_macro("WK")
#pragma push_macro("F")
#undef WK
#define WK 8
#undef F
#define F(b) [b]
      x = F(WK)
#pragma pop_macro("F")
      x = F(WK)
#pragma pop_macro("WK")
      x = F(WK)
#pragma push_macro("NEW")
#define NEW 1
      x = NEW
#pragma pop_macro("NEW")
      x = NEW
! pushed twice, popped twice
#pragma push_macro("WK")
#define WK 5
#pragma push_macro("WK")
#undef WK
#pragma pop_macro("WK")
      x = WK
#pragma pop_macro("WK")
      x = WK
! a pop with nothing pushed changes nothing
#pragma pop_macro("WK")
      x = WK
      end
