#include "times.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace hydrix::cli {
namespace {

constexpr long long kUnixEpochTicks = 116444736000000000LL;  // 1970-01-01 in 100-ns ticks
constexpr double kYear2000 = 946684800;                      // stations count years from 2000: nothing is older

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysIn(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : days[month - 1];
}

std::optional<OrvelTime> fromUnix(double seconds) {
    if (!std::isfinite(seconds) || seconds < kYear2000) return std::nullopt;
    return orvelFromUnix(seconds);
}

std::string format(OrvelTime t, bool utc, const char *pattern) {
    if (t == 0) return {};
    const time_t secs = static_cast<time_t>(std::floor(unixFromOrvel(t)));
    struct tm tm {};
    if (utc)
        gmtime_r(&secs, &tm);
    else
        localtime_r(&secs, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, pattern, &tm);
    return buf;
}

}  // namespace

OrvelTime orvelFromUnix(double seconds) {
    return static_cast<OrvelTime>(std::llround(seconds * 1e7) + kUnixEpochTicks);
}

double unixFromOrvel(OrvelTime t) { return static_cast<double>(static_cast<long long>(t) - kUnixEpochTicks) / 1e7; }

OrvelTime orvelNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return orvelFromUnix(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

std::string isoUtc(OrvelTime t) { return format(t, true, "%Y-%m-%dT%H:%M:%SZ"); }

std::string localText(OrvelTime t) { return format(t, false, "%Y-%m-%d %H:%M:%S"); }

std::optional<OrvelTime> parseStartTime(const std::string &text) {
    if (text == "0") return OrvelTime{0};
    double amount = 0;
    char unit = 0;
    int used = 0;
    if (text.size() > 1 && text[0] == '-' && std::sscanf(text.c_str() + 1, "%lf%c%n", &amount, &unit, &used) == 2 &&
        static_cast<size_t>(used) + 1 == text.size() && amount >= 0) {
        const double scale = unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
        if (scale == 0) return std::nullopt;
        return fromUnix(unixFromOrvel(orvelNow()) - amount * scale);
    }
    struct tm tm {};
    int sec = 0;
    char sep = 0;
    used = 0;
    const int n = std::sscanf(text.c_str(), "%d-%d-%d%c%d:%d%n:%d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &sep,
                              &tm.tm_hour, &tm.tm_min, &used, &sec, &used);
    if (n < 6 || (sep != ' ' && sep != 'T')) return std::nullopt;
    std::string rest = text.substr(static_cast<size_t>(used));
    const bool utc = rest == "Z";
    if (!rest.empty() && !utc) return std::nullopt;
    if (tm.tm_year < 2000 || tm.tm_year > 2099 || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 ||
        tm.tm_mday > daysIn(tm.tm_year, tm.tm_mon) || tm.tm_hour < 0 || tm.tm_hour > 23 || tm.tm_min < 0 ||
        tm.tm_min > 59 || sec < 0 || sec > 59)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_sec = n == 7 ? sec : 0;
    if (!utc) {
        auto local = fromLocal(tm);
        if (!local) return std::nullopt;
        return fromUnix(unixFromOrvel(*local));
    }
    const time_t secs = timegm(&tm);
    if (secs == static_cast<time_t>(-1)) return std::nullopt;
    return fromUnix(static_cast<double>(secs));
}

std::optional<OrvelTime> fromLocal(const std::tm &fields) {
    std::tm copy = fields;
    const time_t wall = timegm(&copy);  // the wall clock counted as if it were UTC
    if (wall == static_cast<time_t>(-1)) return std::nullopt;
    OrvelTime t = orvelFromUnix(static_cast<double>(wall));
    if (offsetTZ(&t, 0, 0, 0, 0) != 1) return std::nullopt;
    return t;
}

}  // namespace hydrix::cli
