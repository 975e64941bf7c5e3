// The zone rules of the year a time falls in. Windows keeps, for a dynamic time zone, a
// record per year (summer-time dates and biases change with the law); today's record
// applied to a time of an earlier year gets that year's summer time wrong.
#pragma once
#include <windows.h>

#include <cstdint>

namespace plat::detail {

// Fills `zone` with the rules in force in `year`; false when there is none.
using ZoneForYear = bool (*)(uint16_t year, TIME_ZONE_INFORMATION *zone);

// The system's dynamic time zone, for `year`.
bool systemZoneForYear(uint16_t year, TIME_ZONE_INFORMATION *zone);

// Local calendar time minus UTC, in seconds, at the UTC instant `unixSeconds`, under the
// rules that `zoneForYear` gives for the instant's year.
bool zoneOffsetAt(int64_t unixSeconds, ZoneForYear zoneForYear, long *offset);

}  // namespace plat::detail
