// The C program compiled as C++: the header must serve both.
#include "stamp.c"
