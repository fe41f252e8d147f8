md_options.f: md_options.F \
  user.h

user.h:
