#define PI 3.14159
