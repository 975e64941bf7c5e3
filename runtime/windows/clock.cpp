// Windows: the host's tick count, trace time stamps and local time. Local time converts
// with the offset in force at that instant (platform/windows/systime), as on Linux.
#include <windows.h>

#include <cstdio>

#include "platform/systime.h"
#include "runtime/internal.h"

namespace hydrix::rt::detail {

bool convertLocalTime(OrvelTime *time, bool toLocal) {
    plat::FileTime out = 0;
    const plat::FileTime in = *time;
    const int ok = toLocal ? plat::fileTimeToLocalFileTime(&in, &out) : plat::localFileTimeToFileTime(&in, &out);
    if (!ok || out == 0) return false;
    *time = out;
    return true;
}

Stamp localStamp() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return Stamp{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

// "N": the file's handle is not inherited by child processes.
FILE *openAppend(const std::string &path) { return std::fopen(path.c_str(), "aN"); }

}  // namespace hydrix::rt::detail

extern "C" uint32_t HYDRIX_CALL timeExpired(uint32_t startTick) { return GetTickCount() - startTick; }
