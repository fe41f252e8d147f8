module helpers_b
  implicit none
contains
  integer function helper() result(n)
    ! A Fortran include line: read by the compiler, from this source's folder.
    include 'weights.inc'
    n = TWICE(weight)
  end function helper
end module helpers_b
