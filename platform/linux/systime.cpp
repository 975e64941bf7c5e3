// Calendar times and file times, and local time of the process time zone.
#include "platform/systime.h"

#include <time.h>

#include <cerrno>
#include <climits>

namespace plat {

namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr int64_t kDaysFrom1601To1970 = 134774;
constexpr uint64_t kTicksPerMs = 10000;
constexpr FileTime kTopBit = 1ULL << 63;

bool isLeapYear(int y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int daysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && isLeapYear(y)) ? 29 : kDays[m - 1];
}

// Days since 1970-01-01 of a Gregorian date (proleptic; valid for any year).
int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The inverse of daysFromCivil.
void civilFromDays(int64_t z, int64_t *year, int *month, int *day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2);
}

bool offsetAt(time_t t, long *offset) {
    tm parts{};
    if (localtime_r(&t, &parts) == nullptr) return false;
    *offset = parts.tm_gmtoff;
    return true;
}

// The zone's offset from UTC (seconds east) at a UTC instant. Zone data before 1970
// differs between systems (local mean time before standard zones, wartime rules), so
// earlier instants take the zone's present standard offset: the smaller of the
// offsets in force now and half a year from now. The zero file time thus moves by
// the zone's plain winter offset.
bool zoneOffsetAt(int64_t unixSeconds, long *offset) {
    if (unixSeconds >= 0) return offsetAt(static_cast<time_t>(unixSeconds), offset);
    const time_t now = time(nullptr);
    long later;
    if (!offsetAt(now, offset) || !offsetAt(now + 183 * 86400, &later)) return false;
    if (later < *offset) *offset = later;
    return true;
}

void fillFromTm(const tm &parts, SystemTime *st) {
    st->wYear = static_cast<uint16_t>(parts.tm_year + 1900);
    st->wMonth = static_cast<uint16_t>(parts.tm_mon + 1);
    st->wDayOfWeek = static_cast<uint16_t>(parts.tm_wday);
    st->wDay = static_cast<uint16_t>(parts.tm_mday);
    st->wHour = static_cast<uint16_t>(parts.tm_hour);
    st->wMinute = static_cast<uint16_t>(parts.tm_min);
    st->wSecond = static_cast<uint16_t>(parts.tm_sec);
    st->wMilliseconds = 0;
}

// Whole seconds since 1970 plus the 100-ns remainder -> file time; false when the
// result falls outside 0 .. 2^63-1.
bool toFileTime(int64_t unixSeconds, uint64_t remainder, FileTime *ft) {
    const int64_t since1601 = unixSeconds + kSecondsFrom1601To1970;
    if (since1601 < 0 || since1601 > static_cast<int64_t>((kTopBit - 1 - remainder) / FILETIME_PER_SECOND)) return false;
    *ft = static_cast<uint64_t>(since1601) * FILETIME_PER_SECOND + remainder;
    return true;
}

}  // namespace

void getLocalTime(SystemTime *st) {
    if (st == nullptr) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    if (localtime_r(&now.tv_sec, &parts) == nullptr) gmtime_r(&now.tv_sec, &parts);
    fillFromTm(parts, st);
    st->wMilliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
}

int systemTimeToFileTime(const SystemTime *st, FileTime *ft) {
    if (st == nullptr || ft == nullptr || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 ||
        st->wMonth > 12 || st->wDay < 1 || st->wDay > daysInMonth(st->wYear, st->wMonth) || st->wHour > 23 ||
        st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
        errno = EINVAL;
        return 0;
    }
    const int64_t days = daysFromCivil(st->wYear, st->wMonth, st->wDay) + kDaysFrom1601To1970;
    const uint64_t seconds = static_cast<uint64_t>(st->wHour) * 3600 + st->wMinute * 60u + st->wSecond;
    *ft = static_cast<uint64_t>(days) * FILETIME_PER_DAY + seconds * FILETIME_PER_SECOND +
          st->wMilliseconds * kTicksPerMs;
    return 1;
}

int fileTimeToSystemTime(const FileTime *ft, SystemTime *st) {
    if (ft == nullptr || st == nullptr || (*ft & kTopBit) != 0) {
        errno = EINVAL;
        return 0;
    }
    const int64_t days = static_cast<int64_t>(*ft / FILETIME_PER_DAY);
    const uint64_t inDay = *ft % FILETIME_PER_DAY;
    int64_t year;
    int month, day;
    civilFromDays(days - kDaysFrom1601To1970, &year, &month, &day);
    const uint64_t seconds = inDay / FILETIME_PER_SECOND;
    st->wYear = static_cast<uint16_t>(year);
    st->wMonth = static_cast<uint16_t>(month);
    st->wDay = static_cast<uint16_t>(day);
    st->wDayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    st->wHour = static_cast<uint16_t>(seconds / 3600);
    st->wMinute = static_cast<uint16_t>(seconds / 60 % 60);
    st->wSecond = static_cast<uint16_t>(seconds % 60);
    st->wMilliseconds = static_cast<uint16_t>(inDay % FILETIME_PER_SECOND / kTicksPerMs);
    return 1;
}

int fileTimeToLocalFileTime(const FileTime *utc, FileTime *local) {
    if (utc == nullptr || local == nullptr || (*utc & kTopBit) != 0) {
        errno = EINVAL;
        return 0;
    }
    const int64_t seconds = static_cast<int64_t>(*utc / FILETIME_PER_SECOND) - kSecondsFrom1601To1970;
    long offset;
    if (!zoneOffsetAt(seconds, &offset)) return 0;
    if (!toFileTime(seconds + offset, *utc % FILETIME_PER_SECOND, local)) {
        errno = EOVERFLOW;
        return 0;
    }
    return 1;
}

int localFileTimeToFileTime(const FileTime *local, FileTime *utc) {
    if (local == nullptr || utc == nullptr || (*local & kTopBit) != 0) {
        errno = EINVAL;
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
        errno = EOVERFLOW;
        return 0;
    }
    return 1;
}

int64_t time64() { return static_cast<int64_t>(time(nullptr)); }

bool localTime64(int64_t t, SystemTime *st) {
    // The same range as the runtime function this stands in for: 1970 up to the end
    // of the year 3000.
    constexpr int64_t kLast = 32535215999LL;
    if (st == nullptr || t < 0 || t > kLast) {
        errno = EINVAL;
        return false;
    }
    time_t tt = static_cast<time_t>(t);
    tm parts{};
    if (localtime_r(&tt, &parts) == nullptr) return false;
    fillFromTm(parts, st);
    return true;
}

uint32_t getLastError() { return static_cast<uint32_t>(errno); }

}  // namespace plat
