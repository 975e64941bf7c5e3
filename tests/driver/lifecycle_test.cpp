// The driver's life cycle: states, the stop of both engines' threads, and how long the
// host's timer call may be held up.
#include <atomic>
#include <chrono>

#include "common/pty_port.h"
#include "driver/driver_fixture.h"
#include "driver/engines.h"
#include "driver/lifecycle.h"
#include "platform/ticks.h"

namespace {

const char *kTwoEngines = R"(
[Driver]
Debug=0
[Chan0]
Nodes=12
[Chan1]
HYDRIXDefault=0
DeviceName=/dev/ttyS1
Nodes=3
)";

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// drvStop, then the host's timer every 10 ms until state 0 (at most 3 s); the seconds it took.
double stopAndRunTimer() {
    const auto start = Clock::now();
    drvStop();
    while (drvQueryState() != DRV_STATE_STOPPED && secondsSince(start) < 3.0) {
        drvHndlTimer();
        if (drvQueryState() != DRV_STATE_STOPPED) plat::sleepMs(10);
    }
    return secondsSince(start);
}

}  // namespace

TEST_F(DriverTest, StateWalksThroughStartAndStopWithBothEngines) {
    useProfile(kTwoEngines);
    EXPECT_EQ(drvInstall("Driver"), 1);
    EXPECT_EQ(hydrix::rt::extInterfaceFlag(), 1);
    EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPED);
    ASSERT_EQ(drvAddChan(0, "Chan0"), 1);
    ASSERT_EQ(drvAddChan(1, "Chan1"), 1);

    // While drvStart runs, each channel start traces a line: the state seen then is 4.
    std::atomic<int> seenWhileStarting{-1};
    hydrix::rt::setTraceSink([&](const std::string &line) {
        if (line.rfind("Starting channel:", 0) == 0) seenWhileStarting = drvQueryState();
    });
    EXPECT_EQ(drvStart(), 1);
    EXPECT_EQ(seenWhileStarting.load(), DRV_STATE_STARTING);
    EXPECT_EQ(drvQueryState(), DRV_STATE_RUNNING);
    EXPECT_EQ(hostRunning.load(), 1u);
    EXPECT_NE(telegramChannels[0].workerThread, nullptr);
    EXPECT_NE(v6Channels[1].channelThread, nullptr);

    EXPECT_EQ(drvHndlTimer(), 1);  // no effect while running
    EXPECT_EQ(drvQueryState(), DRV_STATE_RUNNING);

    EXPECT_EQ(drvStop(), 1);
    EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPING);
    EXPECT_EQ(hostRunning.load(), 0u);
    auto start = Clock::now();
    for (int tick = 0; tick < 50 && drvQueryState() != DRV_STATE_STOPPED; ++tick) {
        drvHndlTimer();
        plat::sleepMs(20);
    }
    EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPED);
    EXPECT_LT(secondsSince(start), 5.0);
    EXPECT_EQ(telegramChannels[0].workerThread, nullptr);
    EXPECT_EQ(v6Channels[1].channelThread, nullptr);
}

TEST_F(DriverTest, StopWithoutChannelsOrWithoutStartIsImmediate) {
    useProfile(kTwoEngines);
    drvInstall("Driver");
    drvStart();
    drvStop();
    drvHndlTimer();
    EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPED);

    // Channels added but never started have no thread: the timer must not wait for one.
    drvAddChan(0, "Chan0");
    drvAddChan(1, "Chan1");
    drvStop();
    auto start = Clock::now();
    drvHndlTimer();
    drvHndlTimer();  // a second tick meets the already stopped worker again
    EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPED);
    EXPECT_LT(secondsSince(start), 0.5);
}

TEST_F(DriverTest, V6ChannelHoldsTheStopUntilItsLowLevelThreadsAreGone) {
    useProfile(kTwoEngines);
    drvInstall("Driver");
    drvAddChan(1, "Chan1");
    v6Channels[1].lowLevelRunning.store(1);  // receiver and transmitter still running
    drvStop();
    drvHndlTimer();
    EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPING);
    drvHndlTimer();
    EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPING);
    v6Channels[1].lowLevelRunning.store(0);
    drvHndlTimer();
    EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPED);
}

TEST_F(DriverTest, UnInstallClearsFlagsAndStateOnly) {
    useProfile(kTwoEngines);
    drvInstall("Driver");
    drvAddChan(0, "Chan0");
    drvStart();
    drvUnInstall();
    EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPED);
    EXPECT_EQ(channelInUse[0].load(), 0u);
    // The worker is not stopped by drvUnInstall; stop it by hand for the next test.
    stopChannel(0);
    EXPECT_EQ(telegramChannels[0].workerThread, nullptr);
}

// A channel that was never added (or does not exist) answers as an idle channel of the
// default engine would: no caller, the result flag set, released at once, nothing to hang up.
TEST_F(DriverTest, HooksOnAChannelNeverAdded) {
    drvInstall("Driver");
    for (uint32_t channel : {3u, 9u}) {
        int32_t flag = 0;
        EXPECT_EQ(preEvent(channel, 2, 0, &flag), -1);
        EXPECT_EQ(flag, 1) << channel;
        EXPECT_EQ(postEvent(channel), 1);
        EXPECT_EQ(canDisconnect(channel), 0);
    }
    drvUnInstall();
}

namespace {
std::atomic<bool> stubbornRunning{false};
std::atomic<bool> stubbornRelease{false};
uint32_t stubbornThread(void *) {
    stubbornRunning = true;
    while (!stubbornRelease) plat::sleepMs(20);  // ignores its stop flag
    return 1;
}
uint32_t politeThread(void *arg) {
    auto *stop = static_cast<std::atomic<uint32_t> *>(arg);
    while (!stop->load()) plat::sleepMs(5);
    return LOW_LEVEL_THREAD_EXIT;
}
}  // namespace

TEST_F(DriverTest, StopThreadWaitsForTheExpectedExitCodeAndTerminatesAStubbornThread) {
    std::atomic<uint32_t> stop{0};
    plat::ThreadHandle polite = plat::createThreadSuspended(politeThread, &stop);
    plat::resumeThread(polite);
    auto start = Clock::now();
    stopThread(&polite, &stop, LOW_LEVEL_THREAD_EXIT, true);
    EXPECT_EQ(polite, nullptr);
    EXPECT_LT(secondsSince(start), 0.5);  // seen as soon as it ends, not after a full poll
    EXPECT_TRUE(traced("Thread stopped successfully"));

    std::atomic<uint32_t> ignored{0};
    plat::ThreadHandle stubborn = plat::createThreadSuspended(stubbornThread, nullptr);
    plat::resumeThread(stubborn);
    start = Clock::now();
    stopThread(&stubborn, &ignored, CHANNEL_THREAD_EXIT, false);
    const double waited = secondsSince(start);
    EXPECT_EQ(stubborn, nullptr);
    EXPECT_EQ(ignored.load(), 1u);
    EXPECT_GE(waited, 9.5);  // 20 polls 500 ms apart
    EXPECT_LT(waited, 12.0);
    stubbornRelease = true;  // the abandoned thread ends on its own
    plat::ThreadHandle none = nullptr;
    start = Clock::now();
    EXPECT_EQ(stopThread(&none, &ignored, CHANNEL_THREAD_EXIT, false), 1);
    EXPECT_LT(secondsSince(start), 0.1);
}

// drvStart again after a complete stop, without drvAddChan: every channel thread must run
// again (not leave at once on the stop flag of the last run) and the next stop must end.
TEST_F(DriverTest, RestartWithoutAddingChannelsAgainRunsAndStopsBothEngines) {
    useProfile(kTwoEngines);
    drvInstall("Driver");
    ASSERT_EQ(drvAddChan(0, "Chan0"), 1);
    ASSERT_EQ(drvAddChan(1, "Chan1"), 1);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(drvStart(), 1);
        plat::sleepMs(100);  // a thread that leaves at once has done so by now
        for (plat::ThreadHandle h : {telegramChannels[0].workerThread, v6Channels[1].channelThread}) {
            uint32_t code = 0;
            ASSERT_EQ(plat::getExitCodeThread(h, &code), 1);
            EXPECT_EQ(code, plat::THREAD_STILL_ACTIVE);
        }
        EXPECT_EQ(v6Channels[1].lowLevelRunning.load(), 1u);
        const double seconds = stopAndRunTimer();
        ASSERT_EQ(drvQueryState(), DRV_STATE_STOPPED);
        EXPECT_LT(seconds, 2.0);
    }
}

// Channels of both engines on live (quiet) ports: a stop while they idle reaches state 0
// within half a second; neither engine waits out a port read.
TEST_F(DriverTest, IdleChannelsOfBothEnginesStopWithinHalfASecond) {
    useProfile(kTwoEngines);
    drvInstall("Driver");
    ASSERT_EQ(drvAddChan(0, "Chan0"), 1);
    ASSERT_EQ(drvAddChan(1, "Chan1"), 1);
    PtyPort telegramPort(0, totalReadTimeout(5000)), v6Port(1, intervalReadTimeout(2000));
    ASSERT_EQ(drvInitComm(0, getCommHandle(0)), 1);
    ASSERT_EQ(drvInitComm(1, getCommHandle(1)), 1);
    ASSERT_EQ(drvStart(), 1);
    plat::sleepMs(300);  // both sit idle on their quiet ports a while
    const double ms = stopAndRunTimer() * 1000;
    ASSERT_EQ(drvQueryState(), DRV_STATE_STOPPED);
    EXPECT_LT(ms, 500.0);
    std::printf("idle telegram and v6 channels: stop to state 0 in %.0f ms\n", ms);
}
