// ORVEL time conversions in an explicit time zone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "host/hydrix_host.h"

namespace {

// ORVEL time of a UTC date and time.
OrvelTime orvel(int y, int mon, int d, int h, int min, int s = 0) {
    tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = min;
    t.tm_sec = s;
    return static_cast<OrvelTime>(timegm(&t)) * 10000000u + 116444736000000000u;
}

class CentralEurope : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char *tz = std::getenv("TZ")) saved_ = tz;
        // Explicit rules, so the test does not depend on the zone data installed.
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> saved_;
};

OrvelTime toLocal(OrvelTime t) {
    EXPECT_EQ(offsetTZ(&t, 1, 0, 0, 0), 1);
    return t;
}
OrvelTime toUtc(OrvelTime t) {
    EXPECT_EQ(offsetTZ(&t, 0, 0, 0, 0), 1);
    return t;
}

TEST_F(CentralEurope, OffsetFollowsSummerTime) {
    // Clocks go forward on 2024-03-31 at 01:00 UTC.
    EXPECT_EQ(toLocal(orvel(2024, 3, 31, 0, 30)), orvel(2024, 3, 31, 1, 30));
    EXPECT_EQ(toLocal(orvel(2024, 3, 31, 1, 30)), orvel(2024, 3, 31, 3, 30));
    EXPECT_EQ(toUtc(orvel(2024, 3, 31, 3, 30)), orvel(2024, 3, 31, 1, 30));
    EXPECT_EQ(toUtc(orvel(2024, 1, 15, 14, 0)), orvel(2024, 1, 15, 13, 0));

    // 02:30 local on 2024-10-27 happens twice; standard time is taken.
    EXPECT_EQ(toUtc(orvel(2024, 10, 27, 2, 30)), orvel(2024, 10, 27, 1, 30));
    EXPECT_EQ(toLocal(orvel(2024, 10, 27, 0, 30)), orvel(2024, 10, 27, 2, 30));

    // Fractions of a second survive the round trip.
    OrvelTime t = orvel(2024, 6, 1, 8, 0) + 1234567;
    EXPECT_EQ(toUtc(toLocal(t)), t);

    OrvelTime zero = 0;
    EXPECT_EQ(offsetTZ(&zero, 1, 0, 0, 0), 1);
    EXPECT_EQ(zero, 0u);
    EXPECT_EQ(offsetTZ(nullptr, 1, 0, 0, 0), 0);
    EXPECT_EQ(offsetTZ(&t, 2, 0, 0, 0), 0);
}

TEST(OrvelTime, DaysAndZero) {
    OrvelTime t = orvel(2024, 2, 28, 23, 59, 59);
    ASSERT_EQ(addORVELTimeDay(&t, 1), 1);
    EXPECT_EQ(t, orvel(2024, 2, 29, 23, 59, 59));
    ASSERT_EQ(addORVELTimeDay(&t, 1), 1);
    EXPECT_EQ(t, orvel(2024, 3, 1, 23, 59, 59));
    ASSERT_EQ(addORVELTimeDay(&t, -1), 1);
    EXPECT_EQ(t, orvel(2024, 2, 29, 23, 59, 59));

    OrvelTime early = 5;
    EXPECT_EQ(addORVELTimeDay(&early, -1), 0) << "no time before 1601";
    EXPECT_EQ(early, 5u);

    OrvelTime z = zeroORVELTime();
    EXPECT_NE(isZeroORVELTime(&z), 0);
    EXPECT_EQ(isZeroORVELTime(&t), 0);
}

}  // namespace
