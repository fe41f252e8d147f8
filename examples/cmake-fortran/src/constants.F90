#include "config.inc"
module constants
  implicit none
  real, parameter :: pi = 3.14159
  integer, parameter :: scale_factor = SCALE
end module constants
