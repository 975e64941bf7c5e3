// Stopping and starting again a v6 channel on a live line: the stop never waits for the
// port or for an exchange's time-out, and a start after a stop serves again.
#include "engine_fixture.h"

using namespace v6;

namespace {

using Clock = std::chrono::steady_clock;

// drvStop, then the host's timer every 10 ms until state 0 (at most `limitMs` + 1 s).
double stopMs(int limitMs) {
    const auto start = Clock::now();
    drvStop();
    while (drvQueryState() != DRV_STATE_STOPPED &&
           Clock::now() - start < std::chrono::milliseconds(limitMs + 1000)) {
        drvHndlTimer();
        if (drvQueryState() != DRV_STATE_STOPPED) usleep(10000);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

// The receiver sleeps on the port while nothing comes: a stop wakes it at once instead of
// waiting for the port's 2-second read interval to run out.
TEST_F(EngineTest, IdleChannelStopsWithinHalfASecond) {
    for (int run = 0; run < 2; ++run) {  // the second run: a start after a stop
        SCOPED_TRACE(run);
        ASSERT_EQ(drvStart(), 1);
        send(12, V6_MAS_READ, DIR_READ);
        ASSERT_EQ(collect(1).size(), 1u);
        ASSERT_TRUE(eventually([&] { return line().state.load() == ST_IDLE; }));
        usleep(300000);  // the channel sits idle a while: past the receiver's pause after a frame
        const double ms = stopMs(500);
        ASSERT_EQ(drvQueryState(), DRV_STATE_STOPPED);
        EXPECT_LT(ms, 500.0);
        std::printf("idle v6 channel: stop to state 0 in %.0f ms\n", ms);
    }
}

// A stop in the middle of an exchange ends it: the request goes back to the pool and the
// stop completes within 2 s, whatever the reply's time-out.
TEST_F(EngineTest, StopEndsTheExchangeInProgress) {
    struct Case {
        const char *what;
        uint32_t address;
    };
    const Case cases[] = {
        {"history (60 s reply time-out)", V6_WGH_HISTORY},
        {"picture", V6_ADDRESS(V6_WGS_PICTURE, 3)},
        {"alarm limits", V6_MAS_READ},
    };
    faults([](auto &f) { f.silent = true; });
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int before = sim->counters().requests;
        ASSERT_EQ(drvStart(), 1);
        send(12, c.address, DIR_READ);
        ASSERT_TRUE(eventually([&] { return sim->counters().requests > before && line().state.load() == ST_REPLY; }));
        const double ms = stopMs(2000);
        ASSERT_EQ(drvQueryState(), DRV_STATE_STOPPED);
        EXPECT_LT(ms, 2000.0);
        EXPECT_EQ(line().curMsg.load(), nullptr);
        EXPECT_EQ(hydrix::rt::poolAvailable(kLine), poolSize) << "the request was not given back";
        EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 0), nullptr) << "nothing goes to the host";
    }
}
