      integer j
