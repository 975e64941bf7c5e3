// Calendar times and file times on the Windows time functions, local time of the
// system's time zone.
#include "platform/systime.h"

#include <windows.h>

#include <ctime>

#include "platform/common/systime_detail.h"
#include "platform/windows/zone_year.h"

namespace plat {

static_assert(sizeof(SystemTime) == sizeof(SYSTEMTIME));

namespace {

FILETIME toFiletime(FileTime t) {
    FILETIME f;
    f.dwLowDateTime = static_cast<DWORD>(t);
    f.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return f;
}

FileTime fromFiletime(const FILETIME &f) { return static_cast<FileTime>(f.dwHighDateTime) << 32 | f.dwLowDateTime; }

SYSTEMTIME toSystemtime(const SystemTime &st) {
    SYSTEMTIME s;
    s.wYear = st.wYear;
    s.wMonth = st.wMonth;
    s.wDayOfWeek = st.wDayOfWeek;
    s.wDay = st.wDay;
    s.wHour = st.wHour;
    s.wMinute = st.wMinute;
    s.wSecond = st.wSecond;
    s.wMilliseconds = st.wMilliseconds;
    return s;
}

void fromSystemtime(const SYSTEMTIME &s, SystemTime *st) {
    st->wYear = s.wYear;
    st->wMonth = s.wMonth;
    st->wDayOfWeek = s.wDayOfWeek;
    st->wDay = s.wDay;
    st->wHour = s.wHour;
    st->wMinute = s.wMinute;
    st->wSecond = s.wSecond;
    st->wMilliseconds = s.wMilliseconds;
}

}  // namespace

namespace detail {

bool systemZoneForYear(uint16_t year, TIME_ZONE_INFORMATION *zone) {
    DYNAMIC_TIME_ZONE_INFORMATION dynamic{};
    if (GetDynamicTimeZoneInformation(&dynamic) == TIME_ZONE_ID_INVALID) return false;
    return GetTimeZoneInformationForYear(year, &dynamic, zone) != FALSE;
}

// The offset is what the year's rules make of the UTC instant: the local calendar time
// minus the UTC one. (FileTimeToLocalFileTime would apply today's bias instead, and
// SystemTimeToTzSpecificLocalTime without a zone today's record.) Near the new year the
// local year may differ from the UTC one: the local year's rules decide then.
bool zoneOffsetAt(int64_t unixSeconds, ZoneForYear zoneForYear, long *offset) {
    const FileTime utc = static_cast<FileTime>(unixSeconds + kSecondsFrom1601To1970) * FILETIME_PER_SECOND;
    const FILETIME utcF = toFiletime(utc);
    SYSTEMTIME utcS, localS;
    if (!FileTimeToSystemTime(&utcF, &utcS)) return false;
    uint16_t year = utcS.wYear;
    for (int attempt = 0; attempt < 2; ++attempt) {
        TIME_ZONE_INFORMATION zone{};
        if (!zoneForYear(year, &zone) || !SystemTimeToTzSpecificLocalTime(&zone, &utcS, &localS)) return false;
        if (localS.wYear == year) break;
        year = localS.wYear;
    }
    FILETIME localF;
    if (!SystemTimeToFileTime(&localS, &localF)) return false;
    const int64_t diff = static_cast<int64_t>(fromFiletime(localF)) - static_cast<int64_t>(utc);
    *offset = static_cast<long>(diff / static_cast<int64_t>(FILETIME_PER_SECOND));
    return true;
}

bool zoneOffsetSince1970(int64_t unixSeconds, long *offset) {
    return zoneOffsetAt(unixSeconds, systemZoneForYear, offset);
}

void failInvalidArgument() { SetLastError(ERROR_INVALID_PARAMETER); }
void failOverflow() { SetLastError(ERROR_ARITHMETIC_OVERFLOW); }

}  // namespace detail

void getLocalTime(SystemTime *st) {
    if (st == nullptr) return;
    SYSTEMTIME s;
    GetLocalTime(&s);
    fromSystemtime(s, st);
}

int systemTimeToFileTime(const SystemTime *st, FileTime *ft) {
    // Checked here as well: not every SystemTimeToFileTime refuses 29 February of a
    // common year.
    if (st == nullptr || ft == nullptr || !detail::isPossibleSystemTime(*st)) {
        detail::failInvalidArgument();
        return 0;
    }
    const SYSTEMTIME s = toSystemtime(*st);
    FILETIME f;
    if (!SystemTimeToFileTime(&s, &f)) return 0;
    *ft = fromFiletime(f);
    return 1;
}

int fileTimeToSystemTime(const FileTime *ft, SystemTime *st) {
    if (ft == nullptr || st == nullptr) {
        detail::failInvalidArgument();
        return 0;
    }
    const FILETIME f = toFiletime(*ft);
    SYSTEMTIME s;
    if (!FileTimeToSystemTime(&f, &s)) return 0;
    fromSystemtime(s, st);
    return 1;
}

int64_t time64() { return static_cast<int64_t>(_time64(nullptr)); }

// The runtime's _localtime64 reads a TZ variable when there is one, and applies the
// US daylight-saving dates to whatever zone it names; the local time here comes from
// the system's zone rules instead, as every other local time of the driver does.
bool localTime64(int64_t t, SystemTime *st) {
    if (st == nullptr || t < 0 || t > detail::kLastLocalTime64) {
        detail::failInvalidArgument();
        return false;
    }
    const FileTime utc = static_cast<FileTime>(t + detail::kSecondsFrom1601To1970) * FILETIME_PER_SECOND;
    FileTime local;
    return fileTimeToLocalFileTime(&utc, &local) && fileTimeToSystemTime(&local, st);
}

uint32_t getLastError() { return GetLastError(); }

}  // namespace plat
