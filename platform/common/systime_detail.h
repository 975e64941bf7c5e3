// The calendar and local-time pieces that both systems share, and what the shared
// local-time conversions need from each operating system.
#pragma once
#include <cstdint>

#include "platform/systime.h"

namespace plat::detail {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr FileTime kFileTimeTopBit = 1ULL << 63;

// The last moment (seconds since 1970) that the runtime's local time can represent:
// the end of the year 3000.
constexpr int64_t kLastLocalTime64 = 32535215999LL;

// Whether a calendar time is a possible one: month 1..12, a day that the month has
// (29 February in leap years only), hour 0..23, minute and second 0..59, milliseconds
// 0..999, year 1601..30827. The day of the week is not looked at.
bool isPossibleSystemTime(const SystemTime &st);

// Implemented by each system:

// The zone's offset from UTC (seconds east) in force at a UTC instant of 1970 or later.
bool zoneOffsetSince1970(int64_t unixSeconds, long *offset);

// Leave the reason for a failed conversion where getLastError() finds it.
void failInvalidArgument();
void failOverflow();

}  // namespace plat::detail
