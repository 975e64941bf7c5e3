// Calendar validity, file-time arithmetic and local/UTC conversion across summer time,
// on either system.
#include <gtest/gtest.h>

#include "platform/systime.h"

namespace {

using plat::FileTime, plat::SystemTime;
constexpr int64_t kDay = int64_t(plat::FILETIME_PER_DAY);

SystemTime at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return SystemTime{uint16_t(y), uint16_t(mo), 0, uint16_t(d), uint16_t(h), uint16_t(mi), uint16_t(s), uint16_t(ms)};
}

FileTime ft(const SystemTime &st) {
    FileTime t = 12345;
    EXPECT_EQ(plat::systemTimeToFileTime(&st, &t), 1) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    return t;
}

TEST(SysTime, RejectsImpossibleDatesAndTimes) {
    for (const SystemTime &bad :
         {at(2026, 2, 31), at(2023, 2, 29), at(1900, 2, 29), at(2026, 4, 31), at(2026, 0, 1), at(2026, 13, 1),
          at(2026, 1, 0), at(2026, 1, 1, 24), at(2026, 1, 1, 0, 60), at(2026, 1, 1, 0, 0, 60),
          at(2026, 1, 1, 0, 0, 0, 1000), at(1600, 12, 31), at(30828, 1, 1)}) {
        FileTime t = 12345;  // left alone on failure
        EXPECT_TRUE(!plat::systemTimeToFileTime(&bad, &t) && t == 12345)
            << bad.wYear << "-" << bad.wMonth << "-" << bad.wDay << " " << bad.wHour << ":" << bad.wMinute;
    }
    for (const SystemTime &good : {at(2000, 2, 29), at(2024, 2, 29), at(30827, 12, 31, 23, 59, 59, 999)}) ft(good);
}

TEST(SysTime, FileTimesCountDaysAcrossMonthAndYearEnds) {
    EXPECT_EQ(ft(at(1970, 1, 1)), 116444736000000000ULL);
    EXPECT_EQ(ft(at(1601, 1, 1)), 0u);
    EXPECT_EQ(ft(at(2024, 2, 29, 23, 59, 59, 999)), 133537247999990000ULL);
    const struct {
        SystemTime from;
        int64_t step;
        SystemTime to;
        int dayOfWeek;
    } cases[] = {
        {at(2024, 2, 28, 12), kDay, at(2024, 2, 29, 12), 4},
        {at(2023, 2, 28, 12), kDay, at(2023, 3, 1, 12), 3},
        {at(2026, 12, 31, 23, 59, 59, 999), 10000, at(2027, 1, 1), 5},
        {at(2000, 3, 1), -kDay, at(2000, 2, 29), 2},
        {at(2100, 3, 1), -kDay, at(2100, 2, 28), 0},
    };
    SystemTime st;
    for (const auto &c : cases) {
        const FileTime moved = ft(c.from) + uint64_t(c.step);
        ASSERT_EQ(plat::fileTimeToSystemTime(&moved, &st), 1);
        EXPECT_EQ(std::pair(ft(st), int(st.wDayOfWeek)), std::pair(ft(c.to), c.dayOfWeek)) << &c - cases;
    }
    const FileTime beyond = 1ULL << 63;
    EXPECT_EQ(plat::fileTimeToSystemTime(&beyond, &st), 0);
}

// The local-time cases are written for Central European time (UTC+1, summer UTC+2 from
// the last Sunday of March 01:00 UTC to the last Sunday of October 01:00 UTC): the test
// build runs them with TZ=Europe/Berlin.
bool inCentralEuropeanTime() {
    FileTime winter = 0, summer = 0;
    const FileTime january = ft(at(2026, 1, 15, 12)), july = ft(at(2026, 7, 15, 12));
    return plat::fileTimeToLocalFileTime(&january, &winter) && plat::fileTimeToLocalFileTime(&july, &summer) &&
           winter - january == 3600 * plat::FILETIME_PER_SECOND && summer - july == 7200 * plat::FILETIME_PER_SECOND;
}

TEST(SysTime, LocalAndUtcAcrossSummerTimeChanges) {
    ASSERT_TRUE(inCentralEuropeanTime()) << "run with TZ=Europe/Berlin";
    const FileTime fraction = 1234567;  // 123.4567 ms, kept both ways
    enum { ToLocal = 1, ToUtc = 2, Both = 3 };
    const struct {
        SystemTime local, utc;
        int ways;
    } cases[] = {
        {at(2026, 1, 15, 12), at(2026, 1, 15, 11), Both},
        {at(2026, 7, 1, 12), at(2026, 7, 1, 10), Both},
        {at(2026, 3, 29, 1, 59, 59), at(2026, 3, 29, 0, 59, 59), Both},
        {at(2026, 3, 29, 3), at(2026, 3, 29, 1), Both},
        {at(1601, 1, 1, 1), at(1601, 1, 1), Both},                    // the zero time moves by the standard offset
        {at(2026, 10, 25, 2, 30), at(2026, 10, 25, 0, 30), ToLocal},  // first 02:30, still summer time
        {at(2026, 10, 25, 2, 30), at(2026, 10, 25, 1, 30), Both},     // repeated hour: standard time
        {at(2026, 3, 29, 2, 30), at(2026, 3, 29, 1, 30), ToUtc},      // skipped hour: offset before
    };
    for (const auto &c : cases) {
        FileTime out = 0;
        const FileTime utc = ft(c.utc) + fraction, local = ft(c.local) + fraction;
        EXPECT_TRUE(!(c.ways & ToLocal) || (plat::fileTimeToLocalFileTime(&utc, &out) && out == local)) << &c - cases;
        EXPECT_TRUE(!(c.ways & ToUtc) || (plat::localFileTimeToFileTime(&local, &out) && out == utc)) << &c - cases;
    }
    // The zero time cannot move back; the far end of the range does not convert.
    FileTime out = 0;
    const FileTime zero = 0, top = 1ULL << 63;
    EXPECT_FALSE(plat::localFileTimeToFileTime(&zero, &out));
    EXPECT_FALSE(plat::fileTimeToLocalFileTime(&top, &out));

    // The runtime's local time of a moment since 1970, and its limits.
    SystemTime st, now;
    ASSERT_TRUE(plat::localTime64(0, &st) && st.wDayOfWeek == 4);
    EXPECT_EQ(ft(st), ft(at(1970, 1, 1, 1)));
    EXPECT_FALSE(plat::localTime64(-1, &st));
    EXPECT_TRUE(plat::localTime64(32535215999LL, &st) && st.wYear == 3001 && st.wHour == 0);
    EXPECT_FALSE(plat::localTime64(32535216000LL, &st));
    plat::getLocalTime(&now);
    ASSERT_TRUE(plat::localTime64(plat::time64(), &st));
    EXPECT_LT(ft(st) - ft(now) + 2 * plat::FILETIME_PER_SECOND, 4 * plat::FILETIME_PER_SECOND);
}

}  // namespace
