      escaped
