// Calendar times and 64-bit file times (100-ns units since 1601-01-01), local and UTC.
#pragma once
#include <cstdint>

namespace plat {

struct SystemTime {
    uint16_t wYear;
    uint16_t wMonth;         // 1..12
    uint16_t wDayOfWeek;     // 0 = Sunday; ignored on input
    uint16_t wDay;           // 1..31
    uint16_t wHour;          // 0..23
    uint16_t wMinute;        // 0..59
    uint16_t wSecond;        // 0..59
    uint16_t wMilliseconds;  // 0..999
};

using FileTime = uint64_t;  // 100-ns units since 1601-01-01 00:00

constexpr FileTime FILETIME_PER_SECOND = 10000000ULL;
constexpr FileTime FILETIME_PER_DAY = 86400ULL * FILETIME_PER_SECOND;

// The current local time of the process time zone.
void getLocalTime(SystemTime *st);
// Calendar time -> file time. Returns 0 (and stores nothing) for an impossible date or
// time: month outside 1..12, day beyond the month (31 February, 29 February outside a
// leap year), hour 24 or more, minute or second 60 or more, milliseconds 1000 or more,
// year before 1601 or after 30827.
int systemTimeToFileTime(const SystemTime *st, FileTime *ft);
// File time -> calendar time (day of week filled in). Returns 0 when the file time is
// beyond year 30827 (top bit set).
int fileTimeToSystemTime(const FileTime *ft, SystemTime *st);
// UTC file time -> local file time, with the offset in force at that UTC instant.
// Instants before 1970 take the zone's present standard (winter) offset, so the zero
// time moves by that offset; a result before 1601 fails (returns 0).
int fileTimeToLocalFileTime(const FileTime *utc, FileTime *local);
// Local file time -> UTC file time. An ambiguous local time (the repeated hour at the
// end of summer time) is taken as standard time; a local time that does not exist
// (the skipped hour) is taken with the offset before the change.
int localFileTimeToFileTime(const FileTime *local, FileTime *utc);

// Seconds since 1970-01-01 UTC.
int64_t time64();
// Broken-down local time of `t`; false when it cannot be represented.
bool localTime64(int64_t t, SystemTime *st);

// GetLastError: the operating system's last error number of this thread (errno).
uint32_t getLastError();

}  // namespace plat
