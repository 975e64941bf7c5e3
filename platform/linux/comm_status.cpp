// Line status and purging on a tty descriptor.
#include "platform/comm_status.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <climits>
#include <mutex>
#include <unordered_map>

namespace plat {

namespace {

// A device's error counters only ever grow; what is new since the last look at the
// same descriptor is what gets reported. The device number guards against a
// descriptor number that was closed and reused for another device.
struct ErrorCounters {
    dev_t device;
    serial_icounter_struct counts;
};

std::mutex gCountersLock;
std::unordered_map<int, ErrorCounters> gCounters;

bool toDescriptor(CommHandle h, int *fd) {
    if (h < 0 || h > INT_MAX) {
        errno = EBADF;
        return false;
    }
    *fd = static_cast<int>(h);
    return true;
}

uint32_t newLineErrors(int fd) {
    serial_icounter_struct now{};
    struct stat info {};
    if (ioctl(fd, TIOCGICOUNT, &now) != 0 || fstat(fd, &info) != 0) return 0;  // no counters here
    std::lock_guard lk(gCountersLock);
    auto [it, first] = gCounters.try_emplace(fd, ErrorCounters{info.st_rdev, now});
    if (first) return 0;
    ErrorCounters &last = it->second;
    uint32_t errors = 0;
    if (last.device == info.st_rdev) {
        auto grew = [](int before, int after) { return static_cast<unsigned>(after) != static_cast<unsigned>(before); };
        if (grew(last.counts.buf_overrun, now.buf_overrun)) errors |= LINE_ERR_RXOVER;
        if (grew(last.counts.overrun, now.overrun)) errors |= LINE_ERR_OVERRUN;
        if (grew(last.counts.parity, now.parity)) errors |= LINE_ERR_RXPARITY;
        if (grew(last.counts.frame, now.frame)) errors |= LINE_ERR_FRAME;
        if (grew(last.counts.brk, now.brk)) errors |= LINE_ERR_BREAK;
    }
    last = ErrorCounters{info.st_rdev, now};
    return errors;
}

}  // namespace

int clearCommError(CommHandle h, uint32_t *errors, CommStat *stat) {
    int fd;
    if (!toDescriptor(h, &fd)) return 0;
    int inQueue = 0;
    if (ioctl(fd, TIOCINQ, &inQueue) != 0) return 0;  // errno tells why (EBADF, ENOTTY, ...)
    int outQueue = 0;
    if (ioctl(fd, TIOCOUTQ, &outQueue) != 0) outQueue = 0;
    const uint32_t found = newLineErrors(fd);
    if (errors != nullptr) *errors = found;
    if (stat != nullptr) {
        stat->cbInQue = inQueue > 0 ? static_cast<uint32_t>(inQueue) : 0;
        stat->cbOutQue = outQueue > 0 ? static_cast<uint32_t>(outQueue) : 0;
    }
    return 1;
}

int purgeComm(CommHandle h, uint32_t flags) {
    int fd;
    if (!toDescriptor(h, &fd)) return 0;
    if ((flags & ~(COMM_PURGE_TXABORT | COMM_PURGE_RXABORT | COMM_PURGE_TXCLEAR | COMM_PURGE_RXCLEAR)) != 0) {
        errno = EINVAL;
        return 0;
    }
    const bool out = (flags & COMM_PURGE_TXCLEAR) != 0;
    const bool in = (flags & COMM_PURGE_RXCLEAR) != 0;
    if (!in && !out) {
        termios attrs{};
        return tcgetattr(fd, &attrs) == 0 ? 1 : 0;  // nothing to discard; still a port?
    }
    return tcflush(fd, in && out ? TCIOFLUSH : (in ? TCIFLUSH : TCOFLUSH)) == 0 ? 1 : 0;
}

bool waitCommInput(CommHandle h, uint32_t ms) {
    pollfd p{static_cast<int>(h), POLLIN, 0};
    for (;;) {
        const int r = ::poll(&p, 1, static_cast<int>(ms));
        if (r >= 0) return r > 0;
        if (errno != EINTR) return true;
    }
}

}  // namespace plat
