#define V(i) values_of_the_table(i)
program fold_limit
  s = V(1) + V(2) + V(3) + V(4)
  t = V(1)
end program
