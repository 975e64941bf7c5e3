#include "telegram/exchange_lock.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "host/hydrix_host.h"
#include "platform/ticks.h"

namespace tg {

namespace {

struct ChannelLock {
    std::mutex m;
    std::condition_variable cv;
    bool held = false;
    int hostWaiting = 0;
};

ChannelLock locks[HYDRIX_CHANNELS];

ChannelLock &lockOf(uint32_t channel) { return locks[channel % HYDRIX_CHANNELS]; }

// The channel whose lock this thread holds (-1: none).
thread_local int64_t tlsHeld = -1;

}  // namespace

void lockExchange(uint32_t channel, ExchangeSide side) {
    ChannelLock &l = lockOf(channel);
    std::unique_lock<std::mutex> g(l.m);
    if (side == ExchangeSide::Host) {
        ++l.hostWaiting;
        l.cv.wait(g, [&] { return !l.held; });
        --l.hostWaiting;
    } else {
        l.cv.wait(g, [&] { return !l.held && l.hostWaiting == 0; });
    }
    l.held = true;
    tlsHeld = channel;
}

bool tryLockExchange(uint32_t channel, uint32_t ms) {
    ChannelLock &l = lockOf(channel);
    std::unique_lock<std::mutex> g(l.m);
    ++l.hostWaiting;
    const bool got = l.cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return !l.held; });
    --l.hostWaiting;
    if (got) {
        l.held = true;
        tlsHeld = channel;
    }
    // A worker held back by this wait may go on now.
    if (!got) l.cv.notify_all();
    return got;
}

void unlockExchange(uint32_t channel) {
    ChannelLock &l = lockOf(channel);
    {
        std::lock_guard<std::mutex> g(l.m);
        l.held = false;
    }
    if (tlsHeld == static_cast<int64_t>(channel)) tlsHeld = -1;
    l.cv.notify_all();
}

void sleepOffLine(uint32_t channel, uint32_t ms) {
    const bool held = tlsHeld == static_cast<int64_t>(channel);
    if (held) unlockExchange(channel);
    plat::sleepMs(ms);
    if (held) lockExchange(channel, ExchangeSide::Worker);
}

}  // namespace tg
