// What the engine keeps per thread of a channel besides the shared channel record: a
// wake-up event for each of the three threads, and whether the receiver and transmitter
// have left their loops by themselves. Indexed by channel number.
//
// The receiver waits for the port and for its wake-up at the same time; the channel
// thread and the transmitter wait on plain events.
#include <atomic>
#include <cstdint>

#include "platform/lock.h"
#include "platform/port_wait.h"
#include "v6/v6.h"

namespace v6 {
namespace {

plat::WakeEvent events[HYDRIX_CHANNELS][3];
std::atomic<bool> ended[HYDRIX_CHANNELS][3];

// The receivers' wake-ups: each waits for its port and its wake-up at once.
plat::PortWaker rxWakers[HYDRIX_CHANNELS];

// Whether the channel's current reply wait is for a telegram of its own (set as the
// wait begins after the telegram went out) or was started by the receiver for a frame
// nobody asked for.
std::atomic<bool> ownReplyWait[HYDRIX_CHANNELS];

int slot(const V6Channel *ch) { return static_cast<int>(ch->channelNo % HYDRIX_CHANNELS); }

}  // namespace

void wake(const V6Channel *ch, Sleeper who) {
    if (who == Sleeper::Receiver) {
        rxWakers[slot(ch)].wake();
        return;
    }
    events[slot(ch)][static_cast<int>(who)].signal();
}

bool sleepUntilWoken(const V6Channel *ch, Sleeper who, uint32_t ms) {
    if (who == Sleeper::Receiver) return waitForPortInput(ch, COMM_HANDLE_INVALID, ms) == PortWait::Woken;
    return events[slot(ch)][static_cast<int>(who)].wait(ms);
}

PortWait waitForPortInput(const V6Channel *ch, CommHandle port, uint32_t ms) {
    return rxWakers[slot(ch)].wait(port, ms);
}

void noteReplyWait(const V6Channel *ch, bool forOwnTelegram) {
    ownReplyWait[slot(ch)].store(forOwnTelegram, std::memory_order_release);
}

bool replyWaitIsForOwnTelegram(const V6Channel *ch) {
    return ownReplyWait[slot(ch)].load(std::memory_order_acquire);
}

void markThreadEnded(const V6Channel *ch, Sleeper who, bool value) {
    ended[slot(ch)][static_cast<int>(who)].store(value, std::memory_order_release);
}

bool threadEnded(const V6Channel *ch, Sleeper who) {
    return ended[slot(ch)][static_cast<int>(who)].load(std::memory_order_acquire);
}

}  // namespace v6
