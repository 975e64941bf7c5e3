// Windows: the POSIX time functions the program's shared files use, from the C runtime
// (localtime_r, gmtime_r and clock_gettime come with _POSIX_C_SOURCE; timegm is the
// runtime's _mkgmtime). Given to every file of hydrix.exe by the build.
#pragma once
#include <time.h>

inline time_t timegm(struct tm *fields) { return _mkgmtime(fields); }
