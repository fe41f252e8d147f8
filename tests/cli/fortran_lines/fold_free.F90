#define SUM3(a, b, c) (a + b + c)
#define NAME very_long_variable_name_used_for_testing
#define MSG 'a message long enough that a line holding it twice runs past one hundred and thirty-two columns'
program fold_free
  ! a comment line with a macro name: NAME NAME NAME NAME NAME NAME NAME NAME NAME NAME NAME NAME
  total = SUM3(NAME, NAME, NAME) + SUM3(NAME, NAME, NAME) ! the comment stays whole at the end

  print *, MSG, MSG
  x = a_line_that_no_expansion_changed + another_long_name_in_the_same_line + yet_another_name_that_is_long
  call s(NAME, NAME, NAME, &
         NAME, NAME, NAME)
end program
