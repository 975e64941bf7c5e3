// Linux's side of the channel-port table (runtime/channel_ports.h): each port is a tty
// descriptor, held exclusively (see openTty).
//
// When its device goes away - a USB adapter pulled out, the far end of a pseudo-terminal
// closed - the first failing read or write marks the port lost: the hung-up descriptor is
// replaced by a stand-in on the same number (so that the kernel frees the device and its
// name at once, and the number the driver's threads hold cannot be handed to another
// channel's port), and reads and writes fail at once. The device is then opened again
// under its name, with the line settings and time-outs the channel last had: on the
// driver's reopenCommHandle, and on its own from getCommHandle, which the engines call
// before every read and write - at once when a missing device path has appeared again,
// otherwise with a back-off of 100 ms doubling to 2 s, so a device that stays away costs
// a few system calls a second. Other channels are not touched.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "runtime/channel_ports.h"
#include "runtime/linux/ports.h"
#include "runtime/runtime.h"

namespace hydrix::rt::detail {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFirstRetryMs = 100;
constexpr int kLongestRetryMs = 2000;

// What a channel's port keeps to find its device again. Guarded by the table's lock.
struct Search {
    bool missing = false;  // nothing was found at the path since the last attempt
    dev_t device = 0;      // the device last opened, to tell a new one at the path
    ino_t inode = 0;
    int retryMs = kFirstRetryMs;
    Clock::time_point nextTry{};
    std::string lastError;  // the last failure traced; the same one again is not
};

struct LostPorts {
    std::array<Search, HYDRIX_CHANNELS> search;
    // Read on every readComm and writeComm without the lock: the stand-in descriptor of
    // each lost port (-1: none) and the error it fails with.
    std::array<std::atomic<int>, HYDRIX_CHANNELS> standIn;
    std::array<std::atomic<int>, HYDRIX_CHANNELS> standInError;
    LostPorts() {
        for (auto &fd : standIn) fd.store(-1);
        for (auto &e : standInError) e.store(0);
    }
};

LostPorts &lostPorts() {
    static LostPorts l;
    return l;
}

int fdOf(CommHandle handle) { return static_cast<int>(handle); }

bool isGone(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EBADF; }
bool isMissing(int error) { return error == ENOENT || error == ENXIO || error == ENODEV; }

void scheduleRetry(Search &search, int error) {
    search.missing = isMissing(error);
    search.nextTry = Clock::now() + std::chrono::milliseconds(search.retryMs);
    search.retryMs = search.retryMs * 2 > kLongestRetryMs ? kLongestRetryMs : search.retryMs * 2;
}

void noteDevice(Search &search, int fd) {
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0) {
        search.device = st.st_rdev;
        search.inode = st.st_ino;
    }
}

// The device of a channel's port is gone. Called with the lock held.
void markLost(size_t c, ChannelPort &port, int error) {
    LostPorts &l = lostPorts();
    Search &search = l.search[c];
    port.lost = true;
    search.retryMs = kFirstRetryMs;
    scheduleRetry(search, error);
    struct stat st {};
    search.missing = ::stat(port.settings.device.c_str(), &st) != 0;
    search.lastError.clear();
    // /dev/null opened for reading: reads see an end of file and writes fail, should a
    // thread get past the lost-port check.
    const int fd = fdOf(port.handle);
    const int standIn = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (standIn >= 0) {
        l.standInError[c].store(error);
        ioctl(fd, TIOCNXCL);
        forgetPort(fd);
        if (::dup3(standIn, fd, O_CLOEXEC) >= 0) l.standIn[c].store(fd);
        ::close(standIn);
    }
    tracef("port %s of channel %zu lost (%s): it is opened again when it is back", port.settings.device.c_str(), c,
           std::strerror(error));
}

// One attempt to open a lost port's device again. Called with the lock held.
bool reopenLost(size_t c, ChannelPort &port) {
    LostPorts &l = lostPorts();
    Search &search = l.search[c];
    std::string error;
    int osError = 0;
    const int fd = openTty(port.settings.device, port.line, &error, &osError);
    if (fd < 0) {
        scheduleRetry(search, osError);
        if (error != search.lastError) tracef("port of channel %zu: %s (trying again)", c, error.c_str());
        search.lastError = error;
        return false;
    }
    rememberTimeouts(fd, port.timeouts);
    if (port.handle != COMM_HANDLE_INVALID) {
        // The device takes the stand-in's number, which the driver's threads may hold.
        const int held = fdOf(port.handle);
        if (::dup3(fd, held, O_CLOEXEC) < 0) {
            closeTty(fd);
            scheduleRetry(search, EBADF);
            return false;
        }
        l.standIn[c].store(-1);
        forgetPort(fd);
        ::close(fd);  // the lock and exclusive mode stay with the descriptor that remains
        rememberPort(held, port.line, port.timeouts);
    } else {
        port.handle = fd;
    }
    noteDevice(search, fdOf(port.handle));
    port.lost = false;
    search.missing = false;
    search.retryMs = kFirstRetryMs;
    search.lastError.clear();
    tracef("port %s of channel %zu is back", port.settings.device.c_str(), c);
    return true;
}

// Whether a lost port's device is to be looked for now: when the back-off has run out,
// and at once when something new has appeared at the path - after it was seen empty, or
// a device other than the one that was lost. Called with the lock held.
bool retryDue(const ChannelPort &port, Search &search) {
    if (Clock::now() >= search.nextTry) return true;
    struct stat st {};
    if (::stat(port.settings.device.c_str(), &st) != 0) {
        search.missing = true;
        return false;
    }
    return search.missing || st.st_rdev != search.device || st.st_ino != search.inode;
}

}  // namespace

const int32_t kInvalidHandleError = EBADF;

bool validPortHandle(CommHandle handle) { return handle >= 0 && handle <= 0x7FFFFFFF; }

CommHandle openDevice(size_t c, const PortSettings &settings, CommLine *line, std::string *error) {
    Search &search = lostPorts().search[c];
    search = Search{};
    const int fd = rt::openTty(settings.device, settings.line, error);
    if (fd < 0) return COMM_HANDLE_INVALID;
    *line = settings.line;
    noteDevice(search, fd);
    return fd;
}

CommHandle reopenDevice(size_t, const ChannelPort &port, std::string *error, int *osError) {
    const int fd = openTty(port.settings.device, port.line, error, osError);
    if (fd < 0) return COMM_HANDLE_INVALID;
    rememberTimeouts(fd, port.timeouts);
    return fd;
}

// Gives up the channel's descriptor, whatever it is: the device, or a lost one's stand-in.
void closeDevice(size_t c, ChannelPort &port, bool) {
    if (port.handle != COMM_HANDLE_INVALID) {
        const int fd = fdOf(port.handle);
        LostPorts &l = lostPorts();
        if (l.standIn[c].load() == fd) {
            l.standIn[c].store(-1);
            forgetPort(fd);
            ::close(fd);
        } else {
            closeTty(fd);
        }
    }
    port.handle = COMM_HANDLE_INVALID;
}

void readDeviceSettings(CommHandle handle, CommLine *line, CommTimeouts *timeouts) {
    portLine(fdOf(handle), line);
    *timeouts = portTimeouts(fdOf(handle));
}

int32_t applyDeviceSettings(int32_t channel, CommHandle handle, const CommSettings &settings, CommLine *applied) {
    const int fd = fdOf(handle);
    std::string error;
    if (!rt::applyLine(fd, settings.line, &error)) {
        tracef("configComm: channel %d: %s", channel, error.c_str());
        return 1;
    }
    rememberTimeouts(fd, settings.timeouts);
    *applied = settings.line;
    return 0;
}

void lookForLostDevice(size_t c, ChannelPort &port) {
    if (port.lost && retryDue(port, lostPorts().search[c])) reopenLost(c, port);
}

bool lostDeviceDue(size_t c, ChannelPort &port) { return retryDue(port, lostPorts().search[c]); }

void reopenFailed(size_t c, ChannelPort &port, const std::string &error, int osError) {
    Search &search = lostPorts().search[c];
    if (!port.lost) search.retryMs = kFirstRetryMs;
    port.lost = true;
    search.lastError = error;
    scheduleRetry(search, osError);
}

void reopened(size_t c, ChannelPort &port) {
    Search &search = lostPorts().search[c];
    noteDevice(search, fdOf(port.handle));
    if (port.lost) tracef("port %s of channel %zu is back", port.settings.device.c_str(), c);
    port.lost = false;
    search.missing = false;
    search.retryMs = kFirstRetryMs;
    search.lastError.clear();
}

void portFailed(int fd, int error) {
    if (fd < 0 || !isGone(error)) return;
    ChannelPorts &t = channelPorts();
    std::lock_guard lock(t.mutex);
    for (size_t c = 0; c < t.ports.size(); ++c)
        if (t.ports[c].handle == fd && !t.ports[c].lost) markLost(c, t.ports[c], error);
}

bool lostPort(int fd, int *error) {
    LostPorts &l = lostPorts();
    for (size_t c = 0; c < l.standIn.size(); ++c) {
        if (l.standIn[c].load(std::memory_order_acquire) == fd) {
            *error = l.standInError[c].load();
            return true;
        }
    }
    return false;
}

}  // namespace hydrix::rt::detail

// The line settings of the channel's port (as opened, or as configComm last set them on
// this descriptor) and the descriptor's current time-outs.
extern "C" int32_t HYDRIX_CALL getDefaultCommSettings(int32_t channel, CommHandle handle, CommSettings *settings) {
    using namespace hydrix::rt;
    if (!settings) return 0;
    if (!detail::validPortHandle(handle)) {
        detail::tracef("getDefaultCommSettings: channel %d: no port handle", channel);
        return 0;
    }
    const int fd = static_cast<int>(handle);
    CommLine line{};
    if (!detail::portLine(fd, &line)) {
        bool fromChannel = false;
        if (channel >= 0 && channel < HYDRIX_CHANNELS) {
            detail::ChannelPorts &t = detail::channelPorts();
            std::lock_guard lock(t.mutex);
            const detail::ChannelPort &port = t.ports[static_cast<size_t>(channel)];
            if (!port.settings.device.empty()) {
                line = port.settings.line;
                fromChannel = true;
            }
        }
        if (!fromChannel) {
            if (!isatty(fd)) {
                detail::tracef("getDefaultCommSettings: channel %d: handle %d is not a tty", channel, fd);
                return 0;
            }
            line = detail::defaultLine();
        }
    }
    settings->line = line;
    settings->timeouts = detail::portTimeouts(fd);
    return 1;
}
