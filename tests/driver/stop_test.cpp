// Stopping channels of either engine on a live line with the station at its far end: an
// idle channel stops at once and serves again after a restart, and a stop in the middle
// of an exchange ends it without waiting for the reply's time-out.
#include <unistd.h>

#include <optional>
#include <ostream>

#include "common/driver_fixture.h"
#include "common/station_line.h"
#include "driver/engines.h"

namespace {

struct Engine {
    const char *name;
    const char *profile;
    bool v6;
    uint32_t node, address;  // a request the built-in station serves
};

const Engine kTelegram{"telegram", "[Chan0]\nRetries=2\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n", false, 12,
                       TELEGRAM_ADDRESS(KIND_PICTURE, 1)};
const Engine kV6{"v6", "[Chan0]\nHYDRIXDefault=0\nDeviceName=line0\nNodes=7\n", true, 7, V6_ADDRESS(V6_WGD_REPORT, 0)};

class OnALine : public DriverTest {
protected:
    static constexpr int kPool = 64;

    void start(const Engine &e) {
        useProfile(e.profile);
        hydrix::rt::configurePool(0, kPool, 2048);
        line.emplace(0, e.v6 ? intervalReadTimeout(2000) : totalReadTimeout(2000), hydrix::station::defaultModel(),
                     e.v6);
        ASSERT_EQ(drvInstall("Driver"), 1);
        ASSERT_EQ(drvAddChan(0, "Chan0"), 1);
        ASSERT_EQ(drvInitComm(0, getCommHandle(0)), 1);
    }
    void TearDown() override {
        DriverTest::TearDown();
        line.reset();
    }
    static void ask(uint32_t node, uint32_t address) {
        HostMsg *m = getMsgFromPool(0);
        ASSERT_NE(m, nullptr);
        *m = HostMsg{0, node, address, 0, DIR_READ, 4, 0, 0, 0, 0, 0, 0, m->data};
        putMsgToSapOq(0, m);
    }
    // Whether station data came back (the telegram engine hands back the request, the v6
    // engine messages of its own); every message goes back to the pool.
    static bool served() {
        bool data = false;
        for (HostMsg *m = hydrix::rt::waitInputQueue(0, 5000); m != nullptr; m = hydrix::rt::waitInputQueue(0, 300)) {
            data = data || (m->errGroup == 0 && m->errCode == 0);
            putMsgToPool(0, m);
        }
        return data;
    }

    std::optional<StationLine> line;
};

std::string engineName(const ::testing::TestParamInfo<Engine> &info) { return info.param.name; }
void PrintTo(const Engine &e, std::ostream *os) { *os << e.name; }

// The receiver sleeps on the port while nothing comes: a stop wakes it at once instead of
// waiting for a port read to run out. drvStart again after the stop, without drvAddChan,
// runs the channel again (it does not leave at once on the last run's stop flag).
class IdleStop : public OnALine, public ::testing::WithParamInterface<Engine> {};

TEST_P(IdleStop, WithinHalfASecondAndAgainAfterARestart) {
    ASSERT_NO_FATAL_FAILURE(start(GetParam()));
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(drvStart(), 1);
        ASSERT_NO_FATAL_FAILURE(ask(GetParam().node, GetParam().address));
        ASSERT_TRUE(served());
        usleep(300000);  // idle a while: past the receiver's pause after a frame
        const double ms = stopDriver(1500);
        ASSERT_EQ(drvQueryState(), DRV_STATE_STOPPED);
        EXPECT_LT(ms, 500.0);
        std::printf("idle %s channel: stop to state 0 in %.0f ms\n", GetParam().name, ms);
    }
}

INSTANTIATE_TEST_SUITE_P(BothEngines, IdleStop, ::testing::Values(kTelegram, kV6), engineName);

// Ctrl-C in the middle of an exchange with a silent station: the stop ends it within 2 s
// whatever the reply's time-out, the request goes back to the pool and nothing reaches
// the host.
struct Exchange {
    Engine engine;
    const char *name;
    uint32_t address;
};

void PrintTo(const Exchange &x, std::ostream *os) { *os << x.name; }

class StopMidExchange : public OnALine, public ::testing::WithParamInterface<Exchange> {};

TEST_P(StopMidExchange, EndsItAndGivesTheRequestBack) {
    const Exchange &x = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(x.engine));
    line->fail(-1, [](hydrix::station::Faults &f) { f.silent = true; });
    ASSERT_EQ(drvStart(), 1);
    ASSERT_NO_FATAL_FAILURE(ask(x.engine.node, x.address));
    ASSERT_TRUE(line->sim.waitForTelegrams(1, 2000));
    usleep(100000);  // the channel waits for the reply now
    const double ms = stopDriver(3000);
    ASSERT_EQ(drvQueryState(), DRV_STATE_STOPPED);
    EXPECT_LT(ms, 2000.0);
    EXPECT_EQ(hydrix::rt::poolAvailable(0), kPool) << "the request was not given back";
    EXPECT_EQ(hydrix::rt::inputQueueLength(0) + hydrix::rt::outputQueueLength(0), 0) << "nothing goes to the host";
}

INSTANTIATE_TEST_SUITE_P(BothEngines, StopMidExchange,
                         ::testing::Values(Exchange{kTelegram, "telegram_picture", TELEGRAM_ADDRESS(KIND_PICTURE, 3)},
                                           Exchange{kV6, "v6_history_60s_timeout", V6_ADDRESS(V6_WGH_HISTORY, 0)},
                                           Exchange{kV6, "v6_picture", V6_ADDRESS(V6_WGS_PICTURE, 3)},
                                           Exchange{kV6, "v6_alarm_limits", V6_ADDRESS(V6_MAS_READ, 0)}),
                         [](const ::testing::TestParamInfo<Exchange> &info) { return std::string(info.param.name); });

}  // namespace
