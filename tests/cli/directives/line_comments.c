int a;
#define X 1 // a /* b
Y
# // null directive
#foo // c /* d
Z */
