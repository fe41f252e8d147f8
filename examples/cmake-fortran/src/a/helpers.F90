! Same file name as src/b/helpers.F90: the preprocessed copies must not overwrite each other.
module helpers_a
  implicit none
contains
  integer function helper() result(n)
#ifdef __GFORTRAN__
    n = 1   ! the compiler's own macros came in through -imacros
#else
    n = 0
#endif
  end function helper
end module helpers_a
