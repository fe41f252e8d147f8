      integer :: from_twice
