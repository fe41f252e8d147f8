mf_value.o: mf_value.F
