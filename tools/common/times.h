// Time stamps: the driver's 100-ns ticks since 1601 (UTC) to and from the forms people
// read and type.
#pragma once
#include <ctime>
#include <optional>
#include <string>

#include "host/hydrix_host.h"

namespace hydrix::cli {

OrvelTime orvelFromUnix(double seconds);
// A wall-clock time of the process's time zone as ORVEL time, through the host runtime's
// conversion (offsetTZ), which every thread of the process shares: the C library's own
// (mktime) reloads the zone at each call and must not run beside it.
std::optional<OrvelTime> fromLocal(const std::tm &fields);
double unixFromOrvel(OrvelTime t);
OrvelTime orvelNow();
// "2026-12-05T16:00:00Z"; empty for the zero time.
std::string isoUtc(OrvelTime t);
// "2026-12-05 17:00:00" in the process's time zone; empty for the zero time.
std::string localText(OrvelTime t);
// Reads a start time typed by a person: "2026-12-05 14:00" or "2026-12-05T14:00[:SS]"
// (local time), the same with a trailing "Z" (UTC), "-6h" / "-2d" / "-30m" (that long
// ago), or "0" (the beginning: the station's oldest record). Dates that do not exist
// (2026-02-30) and times before 2000 (stations count years from 2000) are refused.
std::optional<OrvelTime> parseStartTime(const std::string &text);

}  // namespace hydrix::cli
