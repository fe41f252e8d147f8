x = 1; // note
y = 2;
