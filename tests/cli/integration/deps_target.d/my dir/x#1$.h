      integer k
