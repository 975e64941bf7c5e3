// readComm and writeComm with the time-out rules of the host's serial ports, on poll.
//
// Read time-outs (milliseconds, as configComm last set them for the descriptor):
//  - total limit = multiplier x count + constant, when either is nonzero;
//  - interval limit: the longest silence allowed between two bytes once the first byte
//    has come; when both total values are 0, it also bounds the wait for the first byte;
//  - all three 0: wait until `count` bytes have come;
//  - interval = 0xFFFFFFFF with both totals 0: return at once with what is waiting;
//  - interval = 0xFFFFFFFF, multiplier = 0xFFFFFFFF, constant between: return at once
//    when bytes wait, otherwise as soon as one comes, or 0 after `constant`.
// Write: total limit = multiplier x count + constant when either is nonzero, else none.
//
// Failures: readComm returns -1 and writeComm 0 with the error group ERRGRP_NO_PORT_READ
// (22) or ERRGRP_NO_PORT_SEND (23) and the error code set to the Linux errno: EIO when the
// far end has hung up, EBADF for a closed or invalid descriptor, ETIMEDOUT for a write
// that could not finish in time. Bytes already read when a failure shows are returned
// first; the failure is reported by the next call.
//
// A channel's port whose device went away (an unplugged adapter: the tty hangs up) is
// marked lost at its first such failure; from then on both calls fail at once with the
// same code, without touching the descriptor, until the device is back (channel_ports).
//
// Line taps: both calls hand the bytes they moved to the tap of the port's channel, if
// one is set (see setLineTap), after the transfer and outside every lock.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>

#include "runtime/linux/ports.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

// The bytes a call moved, to the tap of the descriptor's channel (when any is set).
void tapPort(int fd, Direction direction, const unsigned char *bytes, size_t count) {
    if (count == 0 || !detail::anyLineTap()) return;
    detail::tapBytes(detail::portChannel(fd), direction, bytes, count);
}

// A thread's first port call tells which channel it works for (see threadChannel).
void notePortThread(int fd) {
    if (!detail::threadChannelNoted()) detail::noteThreadChannel(detail::portChannel(fd));
}

void storeError(uint32_t *group, uint32_t *code, uint32_t g, int e) {
    if (group) *group = g;
    if (code) *code = static_cast<uint32_t>(e);
}

// Milliseconds to pass to poll until `deadline` (rounded up so as not to wake early);
// -1 without a deadline; 0 when it has passed.
int pollTimeout(std::optional<Clock::time_point> deadline) {
    if (!deadline) return -1;
    auto left = *deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

enum class Wait { Ready, TimedOut, Failed };

// Waits for `events` on fd until the deadline. On failure, *err holds the errno to report.
Wait waitFor(int fd, short events, std::optional<Clock::time_point> deadline, int *err) {
    for (;;) {
        int timeout = pollTimeout(deadline);
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return Wait::Failed;
        }
        if (r == 0) {
            if (timeout == 0 || pollTimeout(deadline) == 0) return Wait::TimedOut;
            continue;
        }
        if (p.revents & events) return Wait::Ready;
        if (p.revents & POLLNVAL) {
            *err = EBADF;
            return Wait::Failed;
        }
        *err = EIO;  // POLLHUP or POLLERR: the far end is gone or the device failed
        return Wait::Failed;
    }
}

}  // namespace
}  // namespace hydrix::rt

extern "C" int32_t HYDRIX_CALL initOverlapped(CommOverlapped *overlapped) {
    if (overlapped) std::memset(overlapped, 0, sizeof *overlapped);
    return 1;
}

extern "C" int32_t HYDRIX_CALL readComm(CommHandle handle, CommOverlapped *, int32_t, void *buffer, uint32_t count,
                                        uint32_t *errGroup, uint32_t *errCode) {
    using namespace hydrix::rt;
    if (handle < 0 || handle > 0x7FFFFFFF || (!buffer && count > 0)) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_READ, EBADF);
        return -1;
    }
    if (count == 0) return 0;
    if (count > 0x7FFFFFFFu) count = 0x7FFFFFFFu;  // the result is a signed 32-bit count
    const int fd = static_cast<int>(handle);
    notePortThread(fd);
    if (int lost = 0; detail::lostPort(fd, &lost)) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_READ, lost);
        return -1;
    }
    const CommTimeouts t = detail::portTimeouts(fd);
    auto *out = static_cast<unsigned char *>(buffer);

    const auto start = Clock::now();
    std::optional<Clock::time_point> total;
    std::optional<std::chrono::milliseconds> interval;
    bool returnOnFirst = false;
    if (t.readIntervalTimeout == kMaxDword && t.readTotalTimeoutMultiplier == 0 && t.readTotalTimeoutConstant == 0) {
        total = start;  // nothing to wait for: take what is there
    } else if (t.readIntervalTimeout == kMaxDword && t.readTotalTimeoutMultiplier == kMaxDword &&
               t.readTotalTimeoutConstant != 0 && t.readTotalTimeoutConstant != kMaxDword) {
        total = start + std::chrono::milliseconds(t.readTotalTimeoutConstant);
        returnOnFirst = true;
    } else {
        uint64_t totalMs = uint64_t{t.readTotalTimeoutMultiplier} * count + t.readTotalTimeoutConstant;
        if (totalMs != 0) total = start + std::chrono::milliseconds(totalMs);
        if (t.readIntervalTimeout != 0) interval = std::chrono::milliseconds(t.readIntervalTimeout);
    }

    uint32_t got = 0;
    std::optional<Clock::time_point> lastByte;
    while (got < count) {
        std::optional<Clock::time_point> deadline = total;
        if (interval && (lastByte || !total)) {
            auto limit = (lastByte ? *lastByte : start) + *interval;
            if (!deadline || limit < *deadline) deadline = limit;
        }
        int err = 0;
        Wait w = waitFor(fd, POLLIN, deadline, &err);
        if (w == Wait::Ready) {
            ssize_t n = ::read(fd, out + got, count - got);
            if (n > 0) {
                got += static_cast<uint32_t>(n);
                lastByte = Clock::now();
                if (returnOnFirst) break;
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            w = Wait::Failed;
            err = n == 0 ? EIO : errno;  // end of file on a tty: hung up
        }
        if (w == Wait::TimedOut) break;
        detail::portFailed(fd, err);
        if (got > 0) break;  // hand over what came; the next call reports the failure
        storeError(errGroup, errCode, ERRGRP_NO_PORT_READ, err);
        return -1;
    }
    tapPort(fd, Direction::Read, out, got);
    return static_cast<int32_t>(got);
}

extern "C" int32_t HYDRIX_CALL writeComm(CommHandle handle, CommOverlapped *, int32_t, const void *buffer,
                                         uint32_t count, uint32_t *errGroup, uint32_t *errCode) {
    using namespace hydrix::rt;
    if (handle < 0 || handle > 0x7FFFFFFF || (!buffer && count > 0)) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_SEND, EBADF);
        return 0;
    }
    const int fd = static_cast<int>(handle);
    notePortThread(fd);
    if (int lost = 0; detail::lostPort(fd, &lost)) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_SEND, lost);
        return 0;
    }
    const CommTimeouts t = detail::portTimeouts(fd);
    std::optional<Clock::time_point> deadline;
    uint64_t totalMs = uint64_t{t.writeTotalTimeoutMultiplier} * count + t.writeTotalTimeoutConstant;
    if (totalMs != 0) deadline = Clock::now() + std::chrono::milliseconds(totalMs);

    const auto *in = static_cast<const unsigned char *>(buffer);
    uint32_t done = 0;
    int failure = 0;
    while (done < count && failure == 0) {
        int err = 0;
        Wait w = waitFor(fd, POLLOUT, deadline, &err);
        if (w == Wait::TimedOut) {
            failure = ETIMEDOUT;
        } else if (w == Wait::Failed) {
            detail::portFailed(fd, err);
            failure = err;
        } else if (ssize_t n = ::write(fd, in + done, count - done); n > 0) {
            done += static_cast<uint32_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            failure = errno;
            detail::portFailed(fd, failure);
        }
    }
    tapPort(fd, Direction::Written, in, done);  // what went out, also of a failed write
    if (failure != 0) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_SEND, failure);
        return 0;
    }
    return 1;
}
