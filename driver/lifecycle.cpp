// Install, start, stop and uninstall: the driver-wide life cycle and the per-channel
// start and stop of the engine threads.
#include "driver/lifecycle.h"

#include "driver/engines.h"
#include "driver/state.h"
#include "platform/ticks.h"
#include "v6/v6.h"

namespace {

bool isTelegramChannel(uint32_t c) { return telegramChannels[c].engine.load() != 0; }

// Waits up to `ms` for the thread to report `expectedExit`. Checks every 10 ms, so a
// thread that ends early is seen early; the longest wait stays the poll interval.
bool waitForExit(plat::ThreadHandle h, uint32_t expectedExit, uint32_t ms) {
    const uint32_t start = plat::getTickCount();
    for (;;) {
        uint32_t code = 0;
        if (plat::getExitCodeThread(h, &code) && code == expectedExit) return true;
        if (plat::ticksSince(start, plat::getTickCount()) >= ms) return false;
        plat::sleepMs(10);
    }
}

int32_t startTelegramChannel(uint32_t c) {
    TelegramChannel &ch = telegramChannels[c];
    textOutputParm("Starting channel: %d", static_cast<int>(c));
    // A start after a stop (without drvAddChan in between) finds the stop flag of the last
    // run still set: the new worker would leave at once.
    ch.stopRequest.store(0, std::memory_order_release);
    ch.workerThread = plat::createThreadSuspended(tg::channelWorker, &ch);
    if (ch.workerThread == nullptr) return 0;
    if (!initOverlapped(&ch.overlapped)) {
        // The worker never runs. Release it now rather than leave a suspended thread
        // that a later stop would poll for ten seconds.
        plat::terminateThread(ch.workerThread, CHANNEL_THREAD_EXIT);
        plat::closeHandle(ch.workerThread);
        ch.workerThread = nullptr;
        return 0;
    }
    plat::resumeThread(ch.workerThread);
    return 1;
}

int32_t startV6Channel(uint32_t c) {
    V6Channel &ch = v6Channels[c];
    textOutputParm("Starting channel: %d v6", static_cast<int>(c));
    // A start after a stop (without drvAddChan in between): the stop flag of the last run is
    // cleared, or the new channel thread would leave at once and nobody would stop its
    // receiver and transmitter. The exchange state starts afresh; the stop ended whatever
    // exchange was in progress and gave its request back.
    ch.stopChannelThread.store(0, std::memory_order_release);
    ch.state.store(v6::ST_IDLE);
    ch.step.store(v6::STEP_NONE);
    ch.retryCount = 0;
    bool ok = v6::startLowLevel(&ch) != 0;
    if (ok) {
        ch.channelThread = plat::createThreadSuspended(v6::channelThread, &ch);
        if (ch.channelThread != nullptr) {
            plat::resumeThread(ch.channelThread);
        } else {
            // Without a channel thread nobody would ever stop the receiver and transmitter,
            // and the driver's stop would wait for them forever.
            v6::stopLowLevel(&ch);
            ok = false;
        }
    }
    if (ok) {
        logEvent(-1, EVT_V6_STARTED, 0, HYDRIX_SOURCE, __LINE__, 0, 0, "%d", static_cast<int>(c));
        return 1;
    }
    logEvent(-1, EVT_V6_START_FAILED, 0, HYDRIX_SOURCE, __LINE__, 0, 0, "%d", static_cast<int>(c));
    return 0;
}

void clearChannelFlags() {
    for (auto &flag : channelInUse) flag.store(0);
    hostRunning.store(0);
    driverState.store(DRV_STATE_STOPPED);
}

}  // namespace

int32_t stopThread(plat::ThreadHandle *handle, std::atomic<uint32_t> *stopFlag, uint32_t expectedExit,
                   bool traceSuccess) {
    stopFlag->store(1, std::memory_order_release);
    plat::ThreadHandle h = *handle;
    // A channel whose thread never started, or one stopped on an earlier timer tick, has
    // no handle: nothing to wait for.
    if (h == nullptr) return 1;
    bool ended = false;
    for (int poll = 0; poll < STOP_POLLS && !ended; ++poll) ended = waitForExit(h, expectedExit, STOP_POLL_MS);
    if (ended) {
        if (traceSuccess) textOutput("Thread stopped successfully");
    } else {
        plat::terminateThread(h, CHANNEL_THREAD_EXIT);
    }
    plat::closeHandle(h);
    *handle = nullptr;
    return 1;
}

int32_t startChannel(uint32_t c) { return isTelegramChannel(c) ? startTelegramChannel(c) : startV6Channel(c); }

int32_t stopChannel(uint32_t c) {
    if (isTelegramChannel(c)) {
        TelegramChannel &ch = telegramChannels[c];
        return stopThread(&ch.workerThread, &ch.stopRequest, CHANNEL_THREAD_EXIT, false);
    }
    V6Channel &ch = v6Channels[c];
    // The channel thread may sleep out its idle pause; woken, it sees its flag at once.
    ch.stopChannelThread.store(1, std::memory_order_release);
    v6::wake(&ch, v6::Sleeper::Channel);
    return stopThread(&ch.channelThread, &ch.stopChannelThread, CHANNEL_THREAD_EXIT, true);
}

extern "C" {

HYDRIX_EXPORT int32_t drvInstall(const char *section) {
    debugLevel.store(myGetPrivateProfileInt(section, "Debug", 0, 0));
    clearChannelFlags();
    setDrvExtInterface(1);
    return 1;
}

HYDRIX_EXPORT int32_t drvUnInstall(void) {
    clearChannelFlags();
    return 1;
}

HYDRIX_EXPORT int32_t drvStart(void) {
    driverState.store(DRV_STATE_STARTING);
    for (uint32_t c = 0; c < HYDRIX_CHANNELS; ++c)
        if (channelInUse[c].load()) startChannel(c);  // a failed channel does not stop the rest
    driverState.store(DRV_STATE_RUNNING, std::memory_order_release);
    hostRunning.store(1, std::memory_order_release);
    return 1;
}

HYDRIX_EXPORT int32_t drvStop(void) {
    driverState.store(DRV_STATE_STOPPING, std::memory_order_release);
    hostRunning.store(0, std::memory_order_release);
    // v6 channel threads see the stop at once rather than after their idle pause, and
    // stop their receivers and transmitters (and end an exchange in progress).
    for (uint32_t c = 0; c < HYDRIX_CHANNELS; ++c)
        if (channelInUse[c].load() && !isTelegramChannel(c)) v6::wake(&v6Channels[c], v6::Sleeper::Channel);
    return 1;
}

HYDRIX_EXPORT int32_t drvQueryState(void) { return static_cast<int32_t>(driverState.load()); }

HYDRIX_EXPORT int32_t drvHndlTimer(void) {
    if (driverState.load() != DRV_STATE_STOPPING) return 1;
    // Telegram workers stop at once; a v6 channel must first have stopped its receiver and
    // transmitter (its channel thread does that when it sees the stop while idle).
    bool incomplete = false;
    for (uint32_t c = 0; c < HYDRIX_CHANNELS; ++c) {
        if (!channelInUse[c].load()) continue;
        if (isTelegramChannel(c))
            stopChannel(c);
        else if (v6Channels[c].lowLevelRunning.load(std::memory_order_acquire) == 1)
            incomplete = true;
    }
    if (incomplete) return 1;
    for (uint32_t c = 0; c < HYDRIX_CHANNELS; ++c)
        if (channelInUse[c].load() && !isTelegramChannel(c)) stopChannel(c);
    driverState.store(DRV_STATE_STOPPED, std::memory_order_release);
    return 1;
}

}  // extern "C"
