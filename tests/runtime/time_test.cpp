// ORVEL time conversions in an explicit time zone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "host/hydrix_host.h"

namespace {

// ORVEL time of a UTC date and time.
OrvelTime orvel(int y, int mon, int d, int h, int min, int s = 0) {
    tm t{};
    t.tm_year = y - 1900, t.tm_mon = mon - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = min, t.tm_sec = s;
    return static_cast<OrvelTime>(timegm(&t)) * 10000000u + 116444736000000000u;
}

OrvelTime converted(OrvelTime t, int32_t direction) {
    EXPECT_EQ(offsetTZ(&t, direction, 0, 0, 0), 1);
    return t;
}

TEST(OrvelTime, OffsetFollowsSummerTime) {
    const char *old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // explicit rules: no zone data needed
    tzset();
    enum { ToUtc = 0, ToLocal = 1 };
    const struct {
        int way;
        OrvelTime from, to;
    } cases[] = {
        // Clocks go forward on 2024-03-31 at 01:00 UTC.
        {ToLocal, orvel(2024, 3, 31, 0, 30), orvel(2024, 3, 31, 1, 30)},
        {ToLocal, orvel(2024, 3, 31, 1, 30), orvel(2024, 3, 31, 3, 30)},
        {ToUtc, orvel(2024, 3, 31, 3, 30), orvel(2024, 3, 31, 1, 30)},
        {ToUtc, orvel(2024, 1, 15, 14, 0), orvel(2024, 1, 15, 13, 0)},
        // 02:30 local on 2024-10-27 happens twice; standard time is taken.
        {ToUtc, orvel(2024, 10, 27, 2, 30), orvel(2024, 10, 27, 1, 30)},
        {ToLocal, orvel(2024, 10, 27, 0, 30), orvel(2024, 10, 27, 2, 30)},
        {ToLocal, 0, 0},  // the zero time stays zero
    };
    for (const auto &c : cases) EXPECT_EQ(converted(c.from, c.way), c.to) << c.way << " " << c.from;
    const OrvelTime t = orvel(2024, 6, 1, 8, 0) + 1234567;  // fractions survive the round trip
    EXPECT_EQ(converted(converted(t, ToLocal), ToUtc), t);
    OrvelTime bad = t;
    EXPECT_EQ(offsetTZ(nullptr, 1, 0, 0, 0), 0);
    EXPECT_EQ(offsetTZ(&bad, 2, 0, 0, 0), 0);
    EXPECT_EQ(bad, t);
    old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST(OrvelTime, DaysAndZero) {
    OrvelTime t = orvel(2024, 2, 28, 23, 59, 59);
    for (auto [days, expected] : {std::pair{1, orvel(2024, 2, 29, 23, 59, 59)},
                                  {1, orvel(2024, 3, 1, 23, 59, 59)},
                                  {-1, orvel(2024, 2, 29, 23, 59, 59)}}) {
        ASSERT_EQ(addORVELTimeDay(&t, days), 1);
        EXPECT_EQ(t, expected);
    }
    OrvelTime early = 5;
    EXPECT_EQ(addORVELTimeDay(&early, -1), 0) << "no time before 1601";
    EXPECT_EQ(early, 5u);
    OrvelTime z = zeroORVELTime();
    EXPECT_NE(isZeroORVELTime(&z), 0);
    EXPECT_EQ(isZeroORVELTime(&t), 0);
}

}  // namespace
