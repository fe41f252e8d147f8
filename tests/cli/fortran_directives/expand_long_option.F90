#define KIND_R 8
#define SQR(x) ((x)*(x))
      real(KIND_R) :: a = SQR(3.0_KIND_R)
      real(kind=KIND_R) :: b = SQR(a)
      end
