// Linux: the host's tick count, trace time stamps and local time, from the C library
// and the process's time zone (TZ and the system zone data).
#include <cstdio>
#include <ctime>
#include <mutex>

#include "runtime/internal.h"

namespace hydrix::rt::detail {
namespace {

constexpr int64_t kUnitsPerSecond = 10000000;
constexpr int64_t kUnixEpoch = 116444736000000000;  // 1970-01-01 in ORVEL units

// tzset and mktime read the zone again at every call while TZ is unset, freeing and
// making the C library's zone state anew. Its own lock keeps that safe, but sanitizers
// cannot see that lock: the conversions of all threads go through this one instead (the
// hydrix tools convert through offsetTZ for the same reason).
std::mutex zoneMutex;

// The seconds of a broken-down time read as if it were UTC.
time_t wallSeconds(const tm &fields) {
    tm copy = fields;
    return timegm(&copy);
}

// Local wall-clock seconds (counted as if UTC) -> true UTC seconds. A local time that
// occurs twice (when the clocks go back) is taken as standard time; a local time that
// does not exist (when the clocks go forward) is left to mktime, which moves it by the
// size of the jump.
bool localToUtc(time_t wall, time_t *utc) {
    tm fields{};
    if (!gmtime_r(&wall, &fields)) return false;
    for (int isdst : {0, -1}) {
        tm attempt = fields;
        attempt.tm_isdst = isdst;
        time_t t = mktime(&attempt);
        tm back{};
        if (!localtime_r(&t, &back)) continue;
        if (wallSeconds(back) == wall || isdst == -1) {
            *utc = t;
            return true;
        }
    }
    return false;
}

}  // namespace

bool convertLocalTime(OrvelTime *time, bool toLocal) {
    const int64_t units = static_cast<int64_t>(*time) - kUnixEpoch;
    int64_t seconds = units / kUnitsPerSecond;
    int64_t fraction = units % kUnitsPerSecond;
    if (fraction < 0) {
        fraction += kUnitsPerSecond;
        --seconds;
    }
    std::lock_guard lock(zoneMutex);
    tzset();
    time_t converted = 0;
    if (toLocal) {
        time_t utc = static_cast<time_t>(seconds);
        tm local{};
        if (!localtime_r(&utc, &local)) return false;
        converted = wallSeconds(local);
    } else if (!localToUtc(static_cast<time_t>(seconds), &converted)) {
        return false;
    }
    int64_t result = static_cast<int64_t>(converted) * kUnitsPerSecond + fraction + kUnixEpoch;
    if (result <= 0) return false;
    *time = static_cast<OrvelTime>(result);
    return true;
}

Stamp localStamp() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    return Stamp{local.tm_year + 1900,
                 local.tm_mon + 1,
                 local.tm_mday,
                 local.tm_hour,
                 local.tm_min,
                 local.tm_sec,
                 static_cast<int>(ts.tv_nsec / 1000000)};
}

FILE *openAppend(const std::string &path) { return std::fopen(path.c_str(), "ae"); }

}  // namespace hydrix::rt::detail

extern "C" uint32_t HYDRIX_CALL timeExpired(uint32_t startTick) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms) - startTick;
}
