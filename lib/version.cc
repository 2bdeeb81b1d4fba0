// version.cc: the library's own version, fixed when it is built, so that a
// program can tell which libnorv.so it runs with.
#include "norv.h"

extern "C" const char *NORVversion(void) { return NORV_VERSION; }
