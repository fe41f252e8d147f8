! A restored definition keeps its parameters, # and ## exactly; an empty body stays empty.
#define S(a, b) #a // a ## b // b
#define E()
#pragma push_macro("S")
#pragma push_macro("E")
#undef S
#undef E
#define S(a, b) b
#define E() gone
      x = S(p, q) E()
#pragma pop_macro("S")
#pragma pop_macro("E")
      x = S(p, q) E()
      end
