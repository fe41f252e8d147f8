#define LOG(unit, text) write(unit, *) text
#define ADD(a, b) ((a) + (b))
program continued_off
  LOG(6, &
           'first')
  y = ADD(1, & ! a comment after the mark
    ! a comment line between the lines
          & 2) + ADD(3, &

            4)
  z = 1 & 
    + ADD(x, y)
  print *, 'end'
end program
