// What the engine keeps per thread of a channel besides the shared channel record: a
// wake-up event for each of the three threads, and whether the receiver and transmitter
// have left their loops by themselves. Indexed by channel number.
#include <atomic>

#include "platform/lock.h"
#include "v6/v6.h"

namespace v6 {
namespace {

plat::WakeEvent events[HYDRIX_CHANNELS][3];
std::atomic<bool> ended[HYDRIX_CHANNELS][3];

int slot(const V6Channel *ch) { return static_cast<int>(ch->channelNo % HYDRIX_CHANNELS); }

}  // namespace

void wake(const V6Channel *ch, Sleeper who) { events[slot(ch)][static_cast<int>(who)].signal(); }

bool sleepUntilWoken(const V6Channel *ch, Sleeper who, uint32_t ms) {
    return events[slot(ch)][static_cast<int>(who)].wait(ms);
}

void markThreadEnded(const V6Channel *ch, Sleeper who, bool value) {
    ended[slot(ch)][static_cast<int>(who)].store(value, std::memory_order_release);
}

bool threadEnded(const V6Channel *ch, Sleeper who) {
    return ended[slot(ch)][static_cast<int>(who)].load(std::memory_order_acquire);
}

}  // namespace v6
