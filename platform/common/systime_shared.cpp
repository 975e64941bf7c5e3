// What both systems share of the time functions: the check of a calendar time, and
// local and UTC file times with the zone's offset in force at the instant converted.
// The operating system only tells the offset at an instant; the rules for instants it
// cannot tell and for the hours a change skips or repeats are the same on every system.
#include "platform/common/systime_detail.h"

#include <ctime>

namespace plat {

namespace detail {

namespace {

bool isLeapYear(int y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int daysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && isLeapYear(y)) ? 29 : kDays[m - 1];
}

}  // namespace

bool isPossibleSystemTime(const SystemTime &st) {
    return st.wYear >= 1601 && st.wYear <= 30827 && st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 &&
           st.wDay <= daysInMonth(st.wYear, st.wMonth) && st.wHour <= 23 && st.wMinute <= 59 && st.wSecond <= 59 &&
           st.wMilliseconds <= 999;
}

}  // namespace detail

namespace {

using detail::kFileTimeTopBit;
using detail::kSecondsFrom1601To1970;

// The zone's offset from UTC (seconds east) at a UTC instant. Zone data before 1970
// differs between systems (local mean time before standard zones, wartime rules), so
// earlier instants take the zone's present standard offset: the smaller of the
// offsets in force now and half a year from now. The zero file time thus moves by
// the zone's plain winter offset.
bool zoneOffsetAt(int64_t unixSeconds, long *offset) {
    if (unixSeconds >= 0) return detail::zoneOffsetSince1970(unixSeconds, offset);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    long later;
    if (!detail::zoneOffsetSince1970(now, offset) || !detail::zoneOffsetSince1970(now + 183 * 86400, &later))
        return false;
    if (later < *offset) *offset = later;
    return true;
}

// Whole seconds since 1970 plus the 100-ns remainder -> file time; false when the
// result falls outside 0 .. 2^63-1.
bool toFileTime(int64_t unixSeconds, uint64_t remainder, FileTime *ft) {
    const int64_t since1601 = unixSeconds + kSecondsFrom1601To1970;
    if (since1601 < 0 || since1601 > static_cast<int64_t>((kFileTimeTopBit - 1 - remainder) / FILETIME_PER_SECOND))
        return false;
    *ft = static_cast<uint64_t>(since1601) * FILETIME_PER_SECOND + remainder;
    return true;
}

}  // namespace

int fileTimeToLocalFileTime(const FileTime *utc, FileTime *local) {
    if (utc == nullptr || local == nullptr || (*utc & kFileTimeTopBit) != 0) {
        detail::failInvalidArgument();
        return 0;
    }
    const int64_t seconds = static_cast<int64_t>(*utc / FILETIME_PER_SECOND) - kSecondsFrom1601To1970;
    long offset;
    if (!zoneOffsetAt(seconds, &offset)) return 0;
    if (!toFileTime(seconds + offset, *utc % FILETIME_PER_SECOND, local)) {
        detail::failOverflow();
        return 0;
    }
    return 1;
}

int localFileTimeToFileTime(const FileTime *local, FileTime *utc) {
    if (local == nullptr || utc == nullptr || (*local & kFileTimeTopBit) != 0) {
        detail::failInvalidArgument();
        return 0;
    }
    const int64_t wall = static_cast<int64_t>(*local / FILETIME_PER_SECOND) - kSecondsFrom1601To1970;
    // Offsets never exceed 15 hours, so the instants 16 hours either side of `wall` lie
    // before and after the UTC instant wanted, and their offsets are the ones in force
    // before and after any change near it. Read with the later offset, the time holds
    // when that offset is in force at the result; this also takes the repeated hour
    // after clocks go back as standard time. Otherwise the earlier offset applies: the
    // time lies before the change, or in the hour that the change skipped.
    constexpr int64_t kReach = 16 * 3600;
    long offBefore, offAfter, off;
    if (!zoneOffsetAt(wall - kReach, &offBefore) || !zoneOffsetAt(wall + kReach, &offAfter)) return 0;
    const int64_t early = wall - offBefore;  // read with the offset before a change
    const int64_t late = wall - offAfter;    // read with the offset after it
    if (!zoneOffsetAt(late, &off)) return 0;
    const bool lateHolds = off == offAfter;
    const int64_t chosen = lateHolds ? late : early;
    if (!toFileTime(chosen, *local % FILETIME_PER_SECOND, utc)) {
        detail::failOverflow();
        return 0;
    }
    return 1;
}

}  // namespace plat
