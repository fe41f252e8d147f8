#define PAIR(a, b) call record_the_pair_of_values(first_value_name = a, second_value_name = b)
program continued_folded
  PAIR(the_first_argument_of_the_call, & ! the first
       & the_second_argument_of_the_call) ; n = n + 1
  n = n +
end program
