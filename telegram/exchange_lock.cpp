#include "telegram/exchange_lock.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "host/hydrix_host.h"

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
}

bool tryLockExchange(uint32_t channel, uint32_t ms) {
    ChannelLock &l = lockOf(channel);
    std::unique_lock<std::mutex> g(l.m);
    ++l.hostWaiting;
    const bool got = l.cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return !l.held; });
    --l.hostWaiting;
    if (got) l.held = true;
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
    l.cv.notify_all();
}

}  // namespace tg
