// What the engine keeps per thread of a channel besides the shared channel record: a
// wake-up event for each of the three threads, and whether the receiver and transmitter
// have left their loops by themselves. Indexed by channel number.
//
// The receiver waits for the port and for its wake-up at the same time, so its wake-up
// is a descriptor (an eventfd) that poll can watch beside the port's; the channel thread
// and the transmitter wait on plain events.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "platform/lock.h"
#include "v6/v6.h"

namespace v6 {
namespace {

plat::WakeEvent events[HYDRIX_CHANNELS][3];
std::atomic<bool> ended[HYDRIX_CHANNELS][3];

// The receivers' wake-up descriptors, made once per channel slot and kept for the life
// of the process. -1 when it could not be made: the receiver then falls back to short
// timed waits.
std::atomic<int> rxWakeFd[HYDRIX_CHANNELS] = {-1, -1, -1, -1, -1, -1, -1, -1};
std::once_flag rxWakeMade[HYDRIX_CHANNELS];

// Whether the channel's current reply wait is for a telegram of its own (set as the
// wait begins after the telegram went out) or was started by the receiver for a frame
// nobody asked for.
std::atomic<bool> ownReplyWait[HYDRIX_CHANNELS];

int slot(const V6Channel *ch) { return static_cast<int>(ch->channelNo % HYDRIX_CHANNELS); }

int receiverFd(const V6Channel *ch) {
    const int s = slot(ch);
    std::call_once(rxWakeMade[s], [s] { rxWakeFd[s].store(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)); });
    return rxWakeFd[s].load();
}

void drain(int fd) {
    uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

int pollRetrying(pollfd *fds, nfds_t n, uint32_t ms) {
    const int timeout = ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ms);
    int r;
    do r = ::poll(fds, n, timeout);
    while (r < 0 && errno == EINTR);  // a signal shortens the wait; the caller waits again
    return r;
}

}  // namespace

void wake(const V6Channel *ch, Sleeper who) {
    if (who == Sleeper::Receiver) {
        const int fd = receiverFd(ch);
        const uint64_t one = 1;
        if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
            // The counter is full: the receiver has wake-ups enough waiting.
        }
        return;
    }
    events[slot(ch)][static_cast<int>(who)].signal();
}

bool sleepUntilWoken(const V6Channel *ch, Sleeper who, uint32_t ms) {
    if (who == Sleeper::Receiver) return waitForPortInput(ch, COMM_HANDLE_INVALID, ms) == PortWait::Woken;
    return events[slot(ch)][static_cast<int>(who)].wait(ms);
}

PortWait waitForPortInput(const V6Channel *ch, CommHandle port, uint32_t ms) {
    const int fd = receiverFd(ch);
    pollfd fds[2];
    nfds_t n = 0;
    if (fd >= 0) fds[n++] = pollfd{fd, POLLIN, 0};
    const bool watchPort = port != COMM_HANDLE_INVALID && port >= 0 && port <= 0x7FFFFFFF;
    if (watchPort) fds[n++] = pollfd{static_cast<int>(port), POLLIN, 0};
    if (n == 0) {
        // Nothing to watch at all: a plain wait that a wake-up cannot shorten.
        pollRetrying(nullptr, 0, ms);
        return PortWait::TimedOut;
    }
    if (pollRetrying(fds, n, ms) <= 0) return PortWait::TimedOut;
    if (fd >= 0 && (fds[0].revents & POLLIN) != 0) {
        drain(fd);
        return PortWait::Woken;
    }
    if (watchPort) {
        const short got = fds[n - 1].revents;
        if ((got & POLLIN) != 0) return PortWait::Input;
        if ((got & (POLLHUP | POLLERR | POLLNVAL)) != 0) return PortWait::PortTrouble;
    }
    return PortWait::TimedOut;
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
