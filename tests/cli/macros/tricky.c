#define f(x) g(x
#define g(x) x
#define AA BB
#define BB AA
#define i(x) x
#define j i(j)
#define k(x) x k
#define F(x) [ x,x##1]
#define LPAREN (
#define call(m) m LPAREN 2)
#define id(x) x
#define q(x) id(x) id
#define nil
#define e() E
#define cat(a,b) a##b
#define xcat(a,b) cat(a,b)
#define hash #
#define str(x) #x
#define xstr(x) str(x)
A1 f(1)) ;
A2 AA BB ;
A3 j ;
A4 k(k(1)) ;
A5 F(b) ;
A6 call(id) ;
A7 q(1)(2) ;
A8 e nil () e() ;
A9 xcat(xcat(1,2),3) cat(cat(1,2),3) ;
A10 xstr(cat(a,b)) str(cat(a,b)) ;
A11 id(id)(5) ;
A12 i(i(i)(1)) ;
