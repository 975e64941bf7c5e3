// Calendar times and file times, and local time of the process time zone.
#include "platform/systime.h"

#include "platform/common/systime_detail.h"

#include <time.h>

#include <cerrno>
#include <climits>

namespace plat {

namespace {

using detail::kFileTimeTopBit;
constexpr int64_t kDaysFrom1601To1970 = 134774;
constexpr uint64_t kTicksPerMs = 10000;

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

}  // namespace

namespace detail {

bool zoneOffsetSince1970(int64_t unixSeconds, long *offset) {
    const time_t t = static_cast<time_t>(unixSeconds);
    tm parts{};
    if (localtime_r(&t, &parts) == nullptr) return false;
    *offset = parts.tm_gmtoff;
    return true;
}

void failInvalidArgument() { errno = EINVAL; }
void failOverflow() { errno = EOVERFLOW; }

}  // namespace detail

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
    if (st == nullptr || ft == nullptr || !detail::isPossibleSystemTime(*st)) {
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
    if (ft == nullptr || st == nullptr || (*ft & kFileTimeTopBit) != 0) {
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

int64_t time64() { return static_cast<int64_t>(time(nullptr)); }

bool localTime64(int64_t t, SystemTime *st) {
    // The same range as the runtime function this stands in for: 1970 up to the end
    // of the year 3000.
    if (st == nullptr || t < 0 || t > detail::kLastLocalTime64) {
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
