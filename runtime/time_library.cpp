// ORVEL times: 100-ns units since 1601-01-01 00:00 UTC. Local time is that of the
// process's time zone (TZ and the system zone data).
#include <ctime>

#include "runtime/internal.h"

namespace {

constexpr int64_t kUnitsPerSecond = 10000000;
constexpr int64_t kUnixEpoch = 116444736000000000;  // 1970-01-01 in ORVEL units
constexpr int64_t kUnitsPerDay = 864000000000;

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

// Converts in place: direction 0 local -> UTC, 1 UTC -> local. The zero time stays zero.
// Returns 1 on success, 0 for a bad argument or a time the C library cannot convert.
extern "C" int32_t offsetTZ(OrvelTime *time, int32_t direction, int32_t, int32_t, int32_t) {
    if (!time || (direction != 0 && direction != 1)) return 0;
    if (*time == 0) return 1;
    const int64_t units = static_cast<int64_t>(*time) - kUnixEpoch;
    int64_t seconds = units / kUnitsPerSecond;
    int64_t fraction = units % kUnitsPerSecond;
    if (fraction < 0) {
        fraction += kUnitsPerSecond;
        --seconds;
    }
    tzset();
    time_t converted = 0;
    if (direction == 1) {
        time_t utc = static_cast<time_t>(seconds);
        tm local{};
        if (!localtime_r(&utc, &local)) return 0;
        converted = wallSeconds(local);
    } else if (!localToUtc(static_cast<time_t>(seconds), &converted)) {
        return 0;
    }
    int64_t result = static_cast<int64_t>(converted) * kUnitsPerSecond + fraction + kUnixEpoch;
    if (result <= 0) return 0;
    *time = static_cast<OrvelTime>(result);
    return 1;
}

// Adds whole days of 24 hours; 0 (and no change) when the result would leave the range.
extern "C" int32_t addORVELTimeDay(OrvelTime *time, int32_t days) {
    if (!time) return 0;
    const int64_t delta = static_cast<int64_t>(days) * kUnitsPerDay;
    const int64_t now = static_cast<int64_t>(*time);
    if (now < 0) return 0;
    if ((delta > 0 && now > INT64_MAX - delta) || now + delta < 0) return 0;
    *time = static_cast<OrvelTime>(now + delta);
    return 1;
}

extern "C" OrvelTime zeroORVELTime(void) { return 0; }

extern "C" int32_t isZeroORVELTime(const OrvelTime *time) { return !time || *time == 0; }
