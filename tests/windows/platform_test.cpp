// What only the Windows side of platform/ does (the rest runs from tests/platform on
// both systems): a running thread that is terminated really ends; a zone's summer-time
// rules of the instant's year; port status on something that is no port; the boundary
// records laid out as Windows' own.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "host/hydrix_host.h"
#include "platform/comm_status.h"
#include "platform/systime.h"
#include "platform/thread.h"
#include "platform/ticks.h"
#include "platform/windows/zone_year.h"

namespace {

struct Spinner {
    std::atomic<uint32_t> beats{0};
};

uint32_t spins(void *p) {
    for (auto *s = static_cast<Spinner *>(p);; plat::sleepMs(1)) s->beats.fetch_add(1);
    return 3;
}

TEST(WindowsThread, ATerminatedRunningThreadRunsNoMore) {
    Spinner spin;
    plat::ThreadHandle h = plat::createThreadSuspended(spins, &spin);
    ASSERT_TRUE(h != nullptr && plat::resumeThread(h) == 1);
    for (int i = 0; i < 400 && spin.beats.load() == 0; ++i) plat::sleepMs(5);
    ASSERT_GT(spin.beats.load(), 0u);
    EXPECT_EQ(plat::terminateThread(h, 99), 1);
    uint32_t code = 0;
    EXPECT_TRUE(plat::getExitCodeThread(h, &code) == 1 && code == 99u);
    const uint32_t beats = spin.beats.load();
    plat::sleepMs(60);
    EXPECT_EQ(spin.beats.load(), beats);
    EXPECT_EQ(plat::closeHandle(h), 1);
}

plat::FileTime fileTime(const SYSTEMTIME &t) {
    plat::FileTime ft = 0;
    const plat::SystemTime st{t.wYear, t.wMonth, 0, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
    EXPECT_EQ(plat::systemTimeToFileTime(&st, &ft), 1);
    return ft;
}

// A zone whose summer-time law changed between two years (as in North America between
// 2006 and 2007: summer time from the first Sunday in April to the last in October, then
// from the second Sunday in March to the first in November). A time of each year is
// converted with that year's rules, whatever today's are.
bool easternZone(uint16_t year, TIME_ZONE_INFORMATION *zone) {
    if (year != 2006 && year != 2007) return false;
    *zone = TIME_ZONE_INFORMATION{};
    zone->Bias = 300;
    zone->DaylightBias = -60;
    // wDay 1 to 4: that week's Sunday of the month; 5: its last Sunday. At 02:00.
    zone->StandardDate = year == 2006 ? SYSTEMTIME{0, 10, 0, 5, 2, 0, 0, 0} : SYSTEMTIME{0, 11, 0, 1, 2, 0, 0, 0};
    zone->DaylightDate = year == 2006 ? SYSTEMTIME{0, 4, 0, 1, 2, 0, 0, 0} : SYSTEMTIME{0, 3, 0, 2, 2, 0, 0, 0};
    return true;
}

TEST(ZoneYear, EachYearWithItsOwnRules) {
    struct Case {
        const char *name;
        SYSTEMTIME utc;
        long offsetHours;
    };
    const Case cases[] = {
        {"20 March 2006: not yet summer time", SYSTEMTIME{2006, 3, 0, 20, 12, 0, 0, 0}, -5},
        {"20 March 2007: summer time already", SYSTEMTIME{2007, 3, 0, 20, 12, 0, 0, 0}, -4},
        {"31 October 2006: summer time over", SYSTEMTIME{2006, 10, 0, 31, 12, 0, 0, 0}, -5},
        {"31 October 2007: still summer time", SYSTEMTIME{2007, 10, 0, 31, 12, 0, 0, 0}, -4},
        {"July 2006", SYSTEMTIME{2006, 7, 0, 1, 12, 0, 0, 0}, -4},
    };
    for (const Case &c : cases) {
        const int64_t unixSeconds = static_cast<int64_t>(fileTime(c.utc) / plat::FILETIME_PER_SECOND) - 11644473600LL;
        long offset = 0;
        EXPECT_TRUE(plat::detail::zoneOffsetAt(unixSeconds, easternZone, &offset)) << c.name;
        EXPECT_EQ(offset, c.offsetHours * 3600) << c.name;
    }
    // A year the zone has no record for is a failure, not today's rules.
    long offset = 0;
    EXPECT_FALSE(plat::detail::zoneOffsetAt(1688385600, easternZone, &offset));
    // The system's own zone has a record for any year.
    TIME_ZONE_INFORMATION zone{};
    EXPECT_TRUE(plat::detail::systemZoneForYear(1999, &zone) && plat::detail::systemZoneForYear(2030, &zone));
}

// A failing port counts as ready at once: the read that follows reports why.
TEST(CommStatus, SomethingThatIsNoPort) {
    char path[MAX_PATH];
    GetTempPathA(sizeof path, path);
    std::strncat(path, "hydrix-not-a-port.tmp", sizeof path - std::strlen(path) - 1);
    const HANDLE file =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    uint32_t errors = 77;
    plat::CommStat stat{};
    SetLastError(0);
    EXPECT_TRUE(plat::clearCommError(file, &errors, &stat) == 0 && plat::getLastError() != 0);
    SetLastError(0);
    EXPECT_TRUE(plat::purgeComm(file, plat::COMM_PURGE_RXCLEAR) == 0 && plat::getLastError() != 0);
    const uint32_t start = plat::getTickCount();
    EXPECT_TRUE(plat::waitCommInput(file, 1000));
    EXPECT_TRUE(plat::ticksSince(start, plat::getTickCount()) < 500);
    CloseHandle(file);
    EXPECT_TRUE(plat::purgeComm(COMM_HANDLE_INVALID, plat::COMM_PURGE_TXCLEAR) == 0);
}

TEST(Records, LaidOutAsWindowsOwn) {
    CommSettings s{};
    EXPECT_TRUE(reinterpret_cast<char *>(&s.timeouts) - reinterpret_cast<char *>(&s) == sizeof(DCB));
    EXPECT_TRUE(sizeof(CommSettings) == sizeof(DCB) + sizeof(COMMTIMEOUTS));
    s.timeouts = CommTimeouts{2000, 0, 0, 100, 200};
    EXPECT_TRUE(s.timeouts.ReadIntervalTimeout == 2000 && s.timeouts.WriteTotalTimeoutConstant == 200);
    plat::setDtrControl(&s, DTR_CONTROL_HANDSHAKE);
    EXPECT_TRUE(s.line.fDtrControl == DTR_CONTROL_HANDSHAKE);
    EXPECT_TRUE(COMM_HANDLE_INVALID == INVALID_HANDLE_VALUE);
    EXPECT_TRUE(sizeof(OrvelTime) == sizeof(FILETIME));
}

}  // namespace
