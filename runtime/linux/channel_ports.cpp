// The ports of the channels: opened by the host from the profile's line settings, handed
// to the driver through getCommHandle, reopened on its request, configured by configComm.
//
// Each port is held exclusively (see openTty). When its device goes away - a USB adapter
// pulled out, the far end of a pseudo-terminal closed - the first failing read or write
// marks the port lost: the hung-up descriptor is replaced by a stand-in on the same
// number (so that the kernel frees the device and its name at once, and the number the
// driver's threads hold cannot be handed to another channel's port), and reads and
// writes fail at once. The device is then opened again under its name, with the line
// settings and time-outs the channel last had: on the driver's reopenCommHandle, and on
// its own from getCommHandle, which the engines call before every read and write - at
// once when a missing device path has appeared again, otherwise with a back-off of 100 ms
// doubling to 2 s, so a device that stays away costs a few system calls a second.
// Other channels are not touched.
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
#include <mutex>

#include "runtime/linux/ports.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFirstRetryMs = 100;
constexpr int kLongestRetryMs = 2000;

struct ChannelPort {
    int fd = -1;              // the device, the stand-in of a lost one, or -1
    PortSettings settings;    // the device's path and the line it was opened with
    CommLine line{};          // the line and time-outs that configComm last gave the port;
    CommTimeouts timeouts{};  // they outlive the descriptor, so a reopen keeps them
    bool lost = false;        // the device went away; it is opened again when it is back
    bool missing = false;     // nothing was found at the path since the last attempt
    dev_t device = 0;         // the device last opened, to tell a new one at the path
    ino_t inode = 0;
    int retryMs = kFirstRetryMs;
    Clock::time_point nextTry{};
    std::string lastError;    // the last failure traced; the same one again is not
};

struct PortsState {
    std::mutex mutex;
    std::array<ChannelPort, HYDRIX_CHANNELS> ports;
    // Read on every readComm and writeComm without the lock: the stand-in descriptor of
    // each lost port (-1: none) and the error it fails with.
    std::array<std::atomic<int>, HYDRIX_CHANNELS> standIn;
    std::array<std::atomic<int>, HYDRIX_CHANNELS> standInError;
    PortsState() {
        for (auto &fd : standIn) fd.store(-1);
        for (auto &e : standInError) e.store(0);
    }
};

PortsState &portsState() {
    static PortsState s;
    return s;
}

bool isGone(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EBADF; }
bool isMissing(int error) { return error == ENOENT || error == ENXIO || error == ENODEV; }

void scheduleRetry(ChannelPort &port, int error) {
    port.missing = isMissing(error);
    port.nextTry = Clock::now() + std::chrono::milliseconds(port.retryMs);
    port.retryMs = port.retryMs * 2 > kLongestRetryMs ? kLongestRetryMs : port.retryMs * 2;
}

void noteDevice(ChannelPort &port) {
    struct stat st {};
    if (port.fd >= 0 && fstat(port.fd, &st) == 0) {
        port.device = st.st_rdev;
        port.inode = st.st_ino;
    }
}

// Gives up the channel's descriptor, whatever it is. Called with the lock held.
void releaseDescriptor(PortsState &s, size_t c) {
    ChannelPort &port = s.ports[c];
    if (port.fd >= 0) {
        if (s.standIn[c].load() == port.fd) {
            s.standIn[c].store(-1);
            detail::forgetPort(port.fd);
            ::close(port.fd);
        } else {
            detail::closeTty(port.fd);
        }
    }
    port.fd = -1;
}

// The device of a channel's port is gone. Called with the lock held.
void markLost(PortsState &s, size_t c, int error) {
    ChannelPort &port = s.ports[c];
    port.lost = true;
    port.retryMs = kFirstRetryMs;
    scheduleRetry(port, error);
    struct stat st {};
    port.missing = ::stat(port.settings.device.c_str(), &st) != 0;
    port.lastError.clear();
    // /dev/null opened for reading: reads see an end of file and writes fail, should a
    // thread get past the lost-port check.
    const int standIn = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (standIn >= 0) {
        s.standInError[c].store(error);
        ioctl(port.fd, TIOCNXCL);
        detail::forgetPort(port.fd);
        if (::dup3(standIn, port.fd, O_CLOEXEC) >= 0) s.standIn[c].store(port.fd);
        ::close(standIn);
    }
    detail::tracef("port %s of channel %zu lost (%s): it is opened again when it is back",
                   port.settings.device.c_str(), c, std::strerror(error));
}

// One attempt to open a lost port's device again. Called with the lock held.
bool reopenLost(PortsState &s, size_t c) {
    ChannelPort &port = s.ports[c];
    std::string error;
    int osError = 0;
    const int fd = detail::openTty(port.settings.device, port.line, &error, &osError);
    if (fd < 0) {
        scheduleRetry(port, osError);
        if (error != port.lastError)
            detail::tracef("port of channel %zu: %s (trying again)", c, error.c_str());
        port.lastError = error;
        return false;
    }
    detail::rememberTimeouts(fd, port.timeouts);
    if (port.fd >= 0) {
        // The device takes the stand-in's number, which the driver's threads may hold.
        if (::dup3(fd, port.fd, O_CLOEXEC) < 0) {
            detail::closeTty(fd);
            scheduleRetry(port, EBADF);
            return false;
        }
        s.standIn[c].store(-1);
        detail::forgetPort(fd);
        ::close(fd);  // the lock and exclusive mode stay with the descriptor that remains
        detail::rememberPort(port.fd, port.line, port.timeouts);
    } else {
        port.fd = fd;
    }
    noteDevice(port);
    port.lost = false;
    port.missing = false;
    port.retryMs = kFirstRetryMs;
    port.lastError.clear();
    detail::tracef("port %s of channel %zu is back", port.settings.device.c_str(), c);
    return true;
}

// Whether a lost port's device is to be looked for now: when the back-off has run out,
// and at once when something new has appeared at the path - after it was seen empty, or
// a device other than the one that was lost. Called with the lock held.
bool retryDue(ChannelPort &port) {
    if (Clock::now() >= port.nextTry) return true;
    struct stat st {};
    if (::stat(port.settings.device.c_str(), &st) != 0) {
        port.missing = true;
        return false;
    }
    return port.missing || st.st_rdev != port.device || st.st_ino != port.inode;
}

}  // namespace

std::optional<std::string> openChannelPort(int channel, const PortSettings &settings) {
    if (!detail::checkChannel("openChannelPort", channel))
        return "channel " + std::to_string(channel) + " is not 0 to 7";
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    const auto c = static_cast<size_t>(channel);
    // The channel's old port goes first: it may be the same device, which is held
    // exclusively.
    releaseDescriptor(s, c);
    ChannelPort &port = s.ports[c];
    port = ChannelPort{};
    std::string error;
    int fd = openTty(settings.device, settings.line, &error);
    if (fd < 0) return error;
    port.fd = fd;
    port.settings = settings;
    port.line = settings.line;
    noteDevice(port);
    return std::nullopt;
}

void closeChannelPort(int channel) {
    if (!detail::checkChannel("closeChannelPort", channel)) return;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    releaseDescriptor(s, static_cast<size_t>(channel));
    s.ports[static_cast<size_t>(channel)].lost = false;
}

namespace detail {

void portFailed(int fd, int error) {
    if (fd < 0 || !isGone(error)) return;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    for (size_t c = 0; c < s.ports.size(); ++c)
        if (s.ports[c].fd == fd && !s.ports[c].lost) markLost(s, c, error);
}

int portChannel(int fd) {
    if (fd < 0) return -1;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    for (size_t c = 0; c < s.ports.size(); ++c)
        if (s.ports[c].fd == fd) return static_cast<int>(c);
    return -1;
}

bool lostPort(int fd, int *error) {
    PortsState &s = portsState();
    for (size_t c = 0; c < s.standIn.size(); ++c) {
        if (s.standIn[c].load(std::memory_order_acquire) == fd) {
            *error = s.standInError[c].load();
            return true;
        }
    }
    return false;
}

}  // namespace detail
}  // namespace hydrix::rt

extern "C" CommHandle HYDRIX_CALL getCommHandle(int32_t channel) {
    using namespace hydrix::rt;
    if (!detail::checkChannel("getCommHandle", channel)) return COMM_HANDLE_INVALID;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    const auto c = static_cast<size_t>(channel);
    ChannelPort &port = s.ports[c];
    if (port.lost && retryDue(port)) reopenLost(s, c);
    return port.fd < 0 ? COMM_HANDLE_INVALID : static_cast<CommHandle>(port.fd);
}

// Closes the channel's port and opens the same device again with the line settings and
// time-outs it last had. The new descriptor goes to *handle (the invalid handle on
// failure; the port is then opened again as soon as the device is back, see above).
extern "C" int32_t HYDRIX_CALL reopenCommHandle(int32_t channel, CommHandle *handle) {
    using namespace hydrix::rt;
    if (!detail::checkChannel("reopenCommHandle", channel)) return 0;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    const auto c = static_cast<size_t>(channel);
    ChannelPort &port = s.ports[c];
    if (port.settings.device.empty()) {
        detail::tracef("reopenCommHandle: channel %d has no port", channel);
        if (handle) *handle = COMM_HANDLE_INVALID;
        return 0;
    }
    if (port.fd >= 0 && !port.lost) {
        // Settings given to the descriptor itself count as well.
        detail::portLine(port.fd, &port.line);
        port.timeouts = detail::portTimeouts(port.fd);
    }
    releaseDescriptor(s, c);
    // A device that is still away is not looked for again before its back-off has run
    // out, however often the driver asks.
    if (port.lost && !retryDue(port)) {
        if (handle) *handle = COMM_HANDLE_INVALID;
        return 0;
    }
    std::string error;
    int osError = 0;
    const int fd = detail::openTty(port.settings.device, port.line, &error, &osError);
    if (fd < 0) {
        detail::tracef("reopenCommHandle: channel %d: %s", channel, error.c_str());
        if (!port.lost) port.retryMs = kFirstRetryMs;
        port.lost = true;
        port.lastError = error;
        scheduleRetry(port, osError);
        if (handle) *handle = COMM_HANDLE_INVALID;
        return 0;
    }
    detail::rememberTimeouts(fd, port.timeouts);
    port.fd = fd;
    noteDevice(port);
    if (port.lost) detail::tracef("port %s of channel %d is back", port.settings.device.c_str(), channel);
    port.lost = false;
    port.missing = false;
    port.retryMs = kFirstRetryMs;
    port.lastError.clear();
    if (handle) *handle = fd;
    return 1;
}

// The line settings of the channel's port (as opened, or as configComm last set them on
// this descriptor) and the descriptor's current time-outs.
extern "C" int32_t HYDRIX_CALL getDefaultCommSettings(int32_t channel, CommHandle handle,
                                          CommSettings *settings) {
    using namespace hydrix::rt;
    if (!settings) return 0;
    if (handle < 0 || handle > 0x7FFFFFFF) {
        detail::tracef("getDefaultCommSettings: channel %d: no port handle", channel);
        return 0;
    }
    const int fd = static_cast<int>(handle);
    CommLine line{};
    if (!detail::portLine(fd, &line)) {
        bool fromChannel = false;
        if (channel >= 0 && channel < HYDRIX_CHANNELS) {
            PortsState &s = portsState();
            std::lock_guard lock(s.mutex);
            const ChannelPort &port = s.ports[static_cast<size_t>(channel)];
            if (!port.settings.device.empty()) {
                line = port.settings.line;
                fromChannel = true;
            }
        }
        if (!fromChannel) {
            if (!isatty(fd)) {
                detail::tracef("getDefaultCommSettings: channel %d: handle %d is not a tty",
                               channel, fd);
                return 0;
            }
            line = detail::defaultLine();
        }
    }
    settings->line = line;
    settings->timeouts = detail::portTimeouts(fd);
    return 1;
}

// Applies line settings and time-outs; 0 on success, the errno (or 1) on failure.
extern "C" int32_t HYDRIX_CALL configComm(int32_t channel, CommHandle handle, CommSettings *settings) {
    using namespace hydrix::rt;
    if (!settings || handle < 0 || handle > 0x7FFFFFFF) {
        detail::tracef("configComm: channel %d: no port handle or settings", channel);
        return EBADF;
    }
    const int fd = static_cast<int>(handle);
    std::string error;
    if (!applyLine(fd, settings->line, &error)) {
        detail::tracef("configComm: channel %d: %s", channel, error.c_str());
        return 1;
    }
    detail::rememberTimeouts(fd, settings->timeouts);
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    for (ChannelPort &port : s.ports) {
        if (port.fd == fd && !port.lost) {
            port.line = settings->line;
            port.timeouts = settings->timeouts;
        }
    }
    return 0;
}
