

# 2 "output_option.F"
      n = 3 
      end
