backslash name
