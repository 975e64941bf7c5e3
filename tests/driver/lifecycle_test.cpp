// The driver's life cycle: states, the stop of both engines' threads, and how long the
// host's timer call may be held up (on a live line: stop_test.cpp).
#include <atomic>
#include <chrono>

#include "common/driver_fixture.h"
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
    EXPECT_TRUE(eventually([] { return drvHndlTimer(), drvQueryState() == DRV_STATE_STOPPED; }, 5000, 20));
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
    EXPECT_LT(msSince(start), 500.0);
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
    EXPECT_LT(msSince(start), 500.0);  // seen as soon as it ends, not after a full poll
    EXPECT_TRUE(traced("Thread stopped successfully"));

    std::atomic<uint32_t> ignored{0};
    plat::ThreadHandle stubborn = plat::createThreadSuspended(stubbornThread, nullptr);
    plat::resumeThread(stubborn);
    start = Clock::now();
    stopThread(&stubborn, &ignored, CHANNEL_THREAD_EXIT, false);
    const double waited = msSince(start) / 1000;
    EXPECT_EQ(stubborn, nullptr);
    EXPECT_EQ(ignored.load(), 1u);
    EXPECT_GE(waited, 9.5);  // 20 polls 500 ms apart
    EXPECT_LT(waited, 12.0);
    stubbornRelease = true;  // the abandoned thread ends on its own
    plat::ThreadHandle none = nullptr;
    start = Clock::now();
    EXPECT_EQ(stopThread(&none, &ignored, CHANNEL_THREAD_EXIT, false), 1);
    EXPECT_LT(msSince(start), 100.0);
}
