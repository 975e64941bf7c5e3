// The local-time texts that request telegrams carry, and the time stamp trace. Stations
// keep local time and count years from 2000.
#include <cstdio>

#include "platform/systime.h"
#include "v6/v6.h"

namespace v6 {
namespace {

constexpr int YEAR_BASE = 2000;
constexpr uint16_t NO_TIME_YEAR = 2005;  // the year a history read starts from without a time

plat::SystemTime now() {
    plat::SystemTime st{};
    if (!plat::localTime64(plat::time64(), &st)) st = plat::SystemTime{2000, 1, 0, 1, 0, 0, 0, 0};
    return st;
}

int year(const plat::SystemTime &st) { return st.wYear - YEAR_BASE; }

}  // namespace

void alarmTimeText(char *out, int size) {
    const auto t = now();
    std::snprintf(out, static_cast<size_t>(size), "%d %d %d %d %d", year(t), t.wMonth, t.wDay, t.wHour, t.wMinute);
}

void dateText(char *out, int size) {
    const auto t = now();
    std::snprintf(out, static_cast<size_t>(size), "%02d %02d %02d", year(t), t.wMonth, t.wDay);
}

void minuteText(char *out, int size) {
    const auto t = now();
    std::snprintf(out, static_cast<size_t>(size), "%02d %02d %02d %02d %02d", year(t), t.wMonth, t.wDay, t.wHour,
                  t.wMinute);
}

void secondText(char *out, int size) {
    const auto t = now();
    std::snprintf(out, static_cast<size_t>(size), "%02d %02d %02d %02d %02d %02d", year(t), t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
}

// The zero time stands for "from the beginning": its year becomes 2005. A time whose
// local form falls outside the calendar (the zero time in a zone west of UTC lies before
// 1601) is written as 1 January, 00:00.
void histTimeText(char *out, int size, OrvelTime utc) {
    plat::FileTime local = 0;
    plat::SystemTime st{};
    if (!plat::fileTimeToLocalFileTime(&utc, &local) || !plat::fileTimeToSystemTime(&local, &st))
        st = plat::SystemTime{NO_TIME_YEAR, 1, 0, 1, 0, 0, 0, 0};
    if (isZeroORVELTime(&utc)) st.wYear = NO_TIME_YEAR;
    std::snprintf(out, static_cast<size_t>(size), "%02d %02d %02d %02d %02d", year(st), st.wMonth, st.wDay, st.wHour,
                  st.wMinute);
}

void traceTimeStamp(const char *text, OrvelTime time, int number) {
    plat::SystemTime st{};
    plat::fileTimeToSystemTime(&time, &st);
    textOutputParm("N:%03d %s  %04d/%02d/%02d %02d:%02d:%02d:%03d", number, text, st.wYear, st.wMonth, st.wDay,
                   st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

}  // namespace v6
