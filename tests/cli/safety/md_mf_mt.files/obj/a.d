obj/a.o: md_mf_mt.F \
  part.h

part.h:
