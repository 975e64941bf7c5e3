// A serial adapter pulled out and plugged in again, under the driver at work: the
// channels on it report failures, cost next to nothing while the device is away, and
// serve again on their own once it is back; a channel on another port never notices.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/driver_fixture.h"
#include "runtime/runtime.h"
#include "station/station.h"

namespace {

namespace rt = hydrix::rt;
namespace st = hydrix::station;
using Clock = std::chrono::steady_clock;

// A device path that the test points at a new pseudo-terminal with a station behind it
// (plugged in) or leaves dangling after closing the terminal (pulled out).
class Adapter {
public:
    Adapter(const std::string &path, bool v6) : path_(path), v6_(v6) {}
    ~Adapter() { pullOut(); }
    void plugIn() {
        std::string error;
        auto pty = st::Pty::open(&error);
        ASSERT_TRUE(pty) << error;
        pty_ = std::make_unique<st::Pty>(std::move(*pty));
        sim_ = std::make_unique<st::Simulator>(pty_->master(), st::defaultModel());
        st::Faults f;
        f.v6Framing = v6_;
        sim_->setFaults(f);
        sim_->start();
        const std::string next = path_ + ".next";
        ::unlink(next.c_str());
        ASSERT_EQ(::symlink(pty_->slavePath().c_str(), next.c_str()), 0);
        ASSERT_EQ(::rename(next.c_str(), path_.c_str()), 0);
    }
    // The terminal closes: the port hangs up and its name disappears, as the device
    // node of a USB adapter does. (A link left dangling would name /dev/pts/N, which
    // the next pseudo-terminal made on the machine may take.)
    void pullOut() {
        if (sim_) sim_->stop();
        sim_.reset();
        pty_.reset();
        ::unlink(path_.c_str());
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    bool v6_;
    std::unique_ptr<st::Pty> pty_;
    std::unique_ptr<st::Simulator> sim_;
};

struct Outcome {
    bool answered = false;         // anything came back in time
    uint32_t group = 0, code = 0;  // the failure's triple; 0 and 0 for station data
};

// The limits hold for the whole test program (the steady channel, the simulators and
// the driver's idle threads included); sanitizers multiply what every thread costs.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kIdleLimitPercent = 3.0, kAskedLimitPercent = 10.0;
#else
constexpr double kIdleLimitPercent = 1.0, kAskedLimitPercent = 5.0;
#endif

double cpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

class LostPort : public DriverTest {
protected:
    // Channel 0: telegram engine, channel 1: v6 engine, both on adapters that the test
    // pulls out; channel 2: telegram engine on a port of its own that stays.
    static constexpr int kTelegram = 0, kV6 = 1, kSteady = 2;

    void SetUp() override {
        DriverTest::SetUp();
        char dir[] = "/tmp/hydrix-lost-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        tgAdapter_.emplace(dir_ + "/ttyUSB0", false);
        v6Adapter_.emplace(dir_ + "/ttyUSB1", true);
        steadyAdapter_.emplace(dir_ + "/ttyS0", false);  // never pulled out
        for (auto *a : {&tgAdapter_, &v6Adapter_, &steadyAdapter_}) ASSERT_NO_FATAL_FAILURE((*a)->plugIn());

        const std::string telegramNode = "Nodes=12\n";
        ASSERT_NO_FATAL_FAILURE(
            useProfile("[Driver]\n"
                       "[Chan0]\nRetries=0\n" +
                       telegramNode +
                       "[Chan0\\Node12]\nPlantNumber=12\n"
                       "[Chan1]\nHYDRIXDefault=0\nDeviceName=USB1\nRetries=0\nNodes=7\n"
                       "[Chan2]\nRetries=0\n" +
                       telegramNode + "[Chan2\\Node12]\nPlantNumber=12\n"));
        const std::string devices[] = {tgAdapter_->path(), v6Adapter_->path(), steadyAdapter_->path()};
        ASSERT_EQ(drvInstall("Driver"), 1);
        for (int c : {kTelegram, kV6, kSteady}) {
            rt::configurePool(c, 64, 2048);
            rt::PortSettings port;
            port.device = devices[c];
            port.line = CommLine{9600, 8, 0, 0, 1, 1, {}};
            ASSERT_FALSE(rt::openChannelPort(c, port));
            ASSERT_EQ(drvAddChan(c, ("Chan" + std::to_string(c)).c_str()), 1);
            ASSERT_EQ(drvInitComm(static_cast<uint32_t>(c), getCommHandle(c)), 1);
        }
        ASSERT_EQ(drvStart(), 1);
    }
    void TearDown() override {
        stopDriver(10000, 50);
        EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPED);
        DriverTest::TearDown();
        for (int c : {kTelegram, kV6, kSteady}) rt::closeChannelPort(c);
        steadyAdapter_.reset();  // each takes its device name away
        tgAdapter_.reset();
        v6Adapter_.reset();
        ::rmdir(dir_.c_str());
    }

    // Queues a request to the channel's station and waits for what comes back: the
    // request itself (telegram engine: served or failed; v6 engine: failed), or the
    // messages the v6 engine makes from the reply. Anything left over from an earlier
    // request that ran out of time is passed over.
    Outcome ask(int channel, int timeoutMs) {
        HostMsg *m = getMsgFromPool(channel);
        if (m == nullptr) return {};
        const bool v6 = channel == kV6;
        *m = HostMsg{0,
                     v6 ? 7u : 12u,
                     v6 ? V6_ADDRESS(V6_WGD_REPORT, 0) : TELEGRAM_ADDRESS(KIND_PICTURE, 1),
                     0,
                     DIR_READ,
                     4,
                     0,
                     0,
                     0,
                     0,
                     0,
                     0,
                     m->data};
        putMsgToSapOq(channel, m);
        Outcome out;
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!out.answered && Clock::now() < until) {
            HostMsg *got = rt::waitInputQueue(channel, 20);
            if (got == nullptr) continue;
            if (got == m || (v6 && got->errGroup == 0 && got->errCode == 0))
                out = Outcome{true, got->errGroup, got->errCode};
            putMsgToPool(channel, got);
        }
        // The rest of a v6 reply's messages.
        while (HostMsg *more = rt::waitInputQueue(channel, v6 ? 300 : 0)) putMsgToPool(channel, more);
        return out;
    }

    std::string dir_;
    std::optional<Adapter> tgAdapter_, v6Adapter_, steadyAdapter_;
};

TEST_F(LostPort, BothEnginesReportTheLossIdleCheaplyAndComeBackOnTheirOwn) {
    for (int c : {kTelegram, kV6, kSteady}) {
        const Outcome o = ask(c, 12000);
        ASSERT_TRUE(o.answered && o.group == 0 && o.code == 0) << "channel " << c << " before the loss";
    }

    tgAdapter_->pullOut();
    v6Adapter_->pullOut();

    // Both engines name the failed write at once; the other channels are asked meanwhile.
    std::optional<Outcome> v6Lost;
    std::thread v6Ask([&] { v6Lost = ask(kV6, 5000); });
    const Outcome tgLost = ask(kTelegram, 5000);
    EXPECT_TRUE(tgLost.answered);
    EXPECT_EQ(tgLost.group, uint32_t(ERRGRP_NO_PORT_SEND)) << "a failed send: the device hung up, or is not there";
    const Outcome tgStillLost = ask(kTelegram, 5000);
    EXPECT_TRUE(tgStillLost.answered);
    EXPECT_EQ(tgStillLost.group, uint32_t(ERRGRP_NO_PORT_SEND));
    for (int i = 0; i < 3; ++i) {
        const Outcome o = ask(kSteady, 5000);
        EXPECT_TRUE(o.answered && o.group == 0 && o.code == 0) << "the steady channel, while the others are lost";
    }

    v6Ask.join();
    ASSERT_TRUE(v6Lost);
    EXPECT_TRUE(v6Lost->answered);
    EXPECT_EQ(v6Lost->group, uint32_t(ERRGRP_NO_PORT_SEND)) << "the v6 engine names the failed write too";

    // While the devices stay away, the channels wait without spinning: idle, then with the
    // host asking the telegram channel again and again.
    const auto measure = [&](auto work) {
        const double cpu0 = cpuSeconds();
        const auto t0 = Clock::now();
        work();
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        return std::pair(100.0 * (cpuSeconds() - cpu0) / wall, wall);
    };
    const auto [idlePercent, idleSeconds] = measure([&] { std::this_thread::sleep_for(std::chrono::seconds(2)); });
    EXPECT_TRUE(trace.mentions("port " + tgAdapter_->path() + " of channel 0 lost"));
    EXPECT_TRUE(trace.mentions("port " + v6Adapter_->path() + " of channel 1 lost"));
    int failures = 0;
    const auto [askedPercent, askedSeconds] = measure([&] {
        for (const auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until;)
            failures += ask(kTelegram, 5000).group != 0;
    });
    std::printf("missing devices: %.2f%% of a core over %.1f s idle, %.2f%% over %.1f s with %d failed requests\n",
                idlePercent, idleSeconds, askedPercent, askedSeconds, failures);
    EXPECT_GT(idleSeconds, 1.0);
    EXPECT_LT(idlePercent, kIdleLimitPercent);
    EXPECT_LT(askedPercent, kAskedLimitPercent);

    tgAdapter_->plugIn();
    v6Adapter_->plugIn();
    // The first request after the device is back is served: the port was opened again
    // before it went on the line, not after a failure that led to a reopen.
    const auto back = Clock::now();
    for (int c : {kTelegram, kV6}) {
        const Outcome o = ask(c, 12000);
        EXPECT_TRUE(o.answered && o.group == 0 && o.code == 0)
            << "channel " << c << " answered " << o.answered << " with " << o.group << "/" << o.code;
    }
    const double backSeconds = std::chrono::duration<double>(Clock::now() - back).count();
    std::printf("both served again %.2f s after the devices came back\n", backSeconds);
    EXPECT_LT(backSeconds, 5.0);
    EXPECT_TRUE(trace.mentions("port " + tgAdapter_->path() + " of channel 0 is back"));
    EXPECT_TRUE(trace.mentions("port " + v6Adapter_->path() + " of channel 1 is back"));
    const Outcome o = ask(kSteady, 5000);
    EXPECT_TRUE(o.answered && o.group == 0 && o.code == 0);
}

}  // namespace
