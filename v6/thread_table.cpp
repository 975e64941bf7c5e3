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
#include "platform/ticks.h"
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

namespace {

// Quiet time after an answer that may have been a late one, and the longest settling.
constexpr uint32_t kSettleQuietMs = 300;
constexpr uint32_t kSettleMaxMs = 2000;

// Touched by the channel thread only.
struct Settling {
    bool owed = false, active = false;
    uint32_t start = 0, last = 0;
};
Settling settling[HYDRIX_CHANNELS];

}  // namespace

void noteAnswerOwed(const V6Channel *ch) { settling[slot(ch)].owed = true; }

void answerCame(const V6Channel *ch) {
    Settling &s = settling[slot(ch)];
    if (!s.owed) return;
    s.owed = false;
    s.active = true;
    s.start = s.last = plat::getTickCount();
}

bool lineSettling(const V6Channel *ch, bool frameCame) {
    Settling &s = settling[slot(ch)];
    if (!s.active) return false;
    const uint32_t now = plat::getTickCount();
    if (frameCame) {
        s.last = now;
        textOutputParm("[%d] Answer to an earlier try dropped", static_cast<int>(ch->channelNo));
    }
    if (plat::ticksSince(s.last, now) >= kSettleQuietMs || plat::ticksSince(s.start, now) >= kSettleMaxMs) {
        s.active = false;
        return false;
    }
    return true;
}

void noteReplyWait(const V6Channel *ch, bool forOwnTelegram) {
    ownReplyWait[slot(ch)].store(forOwnTelegram, std::memory_order_release);
}

bool replyWaitIsForOwnTelegram(const V6Channel *ch) { return ownReplyWait[slot(ch)].load(std::memory_order_acquire); }

void markThreadEnded(const V6Channel *ch, Sleeper who, bool value) {
    ended[slot(ch)][static_cast<int>(who)].store(value, std::memory_order_release);
}

bool threadEnded(const V6Channel *ch, Sleeper who) {
    return ended[slot(ch)][static_cast<int>(who)].load(std::memory_order_acquire);
}

}  // namespace v6
