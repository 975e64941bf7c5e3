// ORVEL times: 100-ns units since 1601-01-01 00:00 UTC. Local time is that of the
// process's time zone (on Linux TZ and the system zone data, on Windows the system's
// zone); the conversion itself is the system's (detail::convertLocalTime).
#include <cstdint>

#include "runtime/internal.h"

namespace {

constexpr int64_t kUnitsPerDay = 864000000000;

}  // namespace

// Converts in place: direction 0 local -> UTC, 1 UTC -> local. The zero time stays zero.
// Returns 1 on success, 0 for a bad argument or a time that cannot be converted.
extern "C" int32_t HYDRIX_CALL offsetTZ(OrvelTime *time, int32_t direction, int32_t, int32_t, int32_t) {
    if (!time || (direction != 0 && direction != 1)) return 0;
    if (*time == 0) return 1;
    return hydrix::rt::detail::convertLocalTime(time, direction == 1) ? 1 : 0;
}

// Adds whole days of 24 hours; 0 (and no change) when the result would leave the range.
extern "C" int32_t HYDRIX_CALL addORVELTimeDay(OrvelTime *time, int32_t days) {
    if (!time) return 0;
    const int64_t delta = static_cast<int64_t>(days) * kUnitsPerDay;
    const int64_t now = static_cast<int64_t>(*time);
    if (now < 0) return 0;
    if ((delta > 0 && now > INT64_MAX - delta) || now + delta < 0) return 0;
    *time = static_cast<OrvelTime>(now + delta);
    return 1;
}

extern "C" OrvelTime HYDRIX_CALL zeroORVELTime(void) { return 0; }

extern "C" int32_t HYDRIX_CALL isZeroORVELTime(const OrvelTime *time) { return !time || *time == 0; }
