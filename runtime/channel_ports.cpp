// The ports of the channels: opened by the host from the profile's line settings, handed
// to the driver through getCommHandle, reopened on its request, configured by configComm.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

struct ChannelPort {
    int fd = -1;
    PortSettings settings;
};

struct PortsState {
    std::mutex mutex;
    std::array<ChannelPort, HYDRIX_CHANNELS> ports;
};

PortsState &portsState() {
    static PortsState s;
    return s;
}

std::optional<std::string> parseParity(const std::string &text, uint8_t *parity) {
    static const char *names[] = {"none", "odd", "even", "mark", "space"};
    for (uint8_t i = 0; i < 5; ++i) {
        if (strcasecmp(text.c_str(), names[i]) == 0 ||
            (text.size() == 1 && std::tolower(static_cast<unsigned char>(text[0])) == names[i][0])) {
            *parity = i;
            return std::nullopt;
        }
    }
    return "Parity must be none, odd, even, mark or space, not '" + text + "'";
}

}  // namespace

std::optional<std::string> applyPortKey(const std::string &key, const std::string &value,
                                        PortSettings *settings) {
    if (key == "Port") {
        settings->device = value;
    } else if (key == "Baudrate") {
        int32_t rate = detail::parseProfileInt(value);
        if (rate <= 0 || !detail::supportedBaudRate(static_cast<uint32_t>(rate)))
            return "Baudrate " + value + " is not a supported speed";
        settings->line.baudRate = static_cast<uint32_t>(rate);
    } else if (key == "DataBits") {
        int32_t n = detail::parseProfileInt(value);
        if (n < 5 || n > 8) return "DataBits must be 5 to 8, not " + value;
        settings->line.byteSize = static_cast<uint8_t>(n);
    } else if (key == "Parity") {
        return parseParity(value, &settings->line.parity);
    } else if (key == "StopBits") {
        if (value == "1")
            settings->line.stopBits = 0;
        else if (value == "1.5")
            settings->line.stopBits = 1;
        else if (value == "2")
            settings->line.stopBits = 2;
        else
            return "StopBits must be 1, 1.5 or 2, not " + value;
    }
    return std::nullopt;
}

std::optional<std::string> portSettingsFromProfile(const std::string &section, PortSettings *out) {
    PortSettings settings;
    settings.line = detail::defaultLine();
    for (const char *key : kPortKeys) {
        auto value = profileValue(section, key);
        if (!value || (value->empty() && std::string(key) != "Port")) continue;
        if (auto error = applyPortKey(key, *value, &settings)) return "[" + section + "] " + *error;
    }
    *out = std::move(settings);
    return std::nullopt;
}

std::optional<std::string> openChannelPort(int channel, const PortSettings &settings) {
    if (!detail::checkChannel("openChannelPort", channel))
        return "channel " + std::to_string(channel) + " is not 0 to 7";
    std::string error;
    int fd = openTty(settings.device, settings.line, &error);
    if (fd < 0) return error;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    ChannelPort &port = s.ports[static_cast<size_t>(channel)];
    detail::closeTty(port.fd);
    port.fd = fd;
    port.settings = settings;
    return std::nullopt;
}

void closeChannelPort(int channel) {
    if (!detail::checkChannel("closeChannelPort", channel)) return;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    ChannelPort &port = s.ports[static_cast<size_t>(channel)];
    detail::closeTty(port.fd);
    port.fd = -1;
}

}  // namespace hydrix::rt

extern "C" CommHandle getCommHandle(int32_t channel) {
    using namespace hydrix::rt;
    if (!detail::checkChannel("getCommHandle", channel)) return COMM_HANDLE_INVALID;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    int fd = s.ports[static_cast<size_t>(channel)].fd;
    return fd < 0 ? COMM_HANDLE_INVALID : static_cast<CommHandle>(fd);
}

// Closes the channel's port and opens the same device again with the same line settings
// and time-outs. The new descriptor goes to *handle (the invalid handle on failure).
extern "C" int32_t reopenCommHandle(int32_t channel, CommHandle *handle) {
    using namespace hydrix::rt;
    if (!detail::checkChannel("reopenCommHandle", channel)) return 0;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    ChannelPort &port = s.ports[static_cast<size_t>(channel)];
    if (port.settings.device.empty()) {
        detail::tracef("reopenCommHandle: channel %d has no port", channel);
        if (handle) *handle = COMM_HANDLE_INVALID;
        return 0;
    }
    CommLine line = port.settings.line;
    CommTimeouts timeouts{};
    if (port.fd >= 0) {
        detail::portLine(port.fd, &line);
        timeouts = detail::portTimeouts(port.fd);
        detail::closeTty(port.fd);
        port.fd = -1;
    }
    std::string error;
    int fd = openTty(port.settings.device, line, &error);
    if (fd < 0) {
        detail::tracef("reopenCommHandle: channel %d: %s", channel, error.c_str());
        if (handle) *handle = COMM_HANDLE_INVALID;
        return 0;
    }
    detail::rememberTimeouts(fd, timeouts);
    port.fd = fd;
    if (handle) *handle = fd;
    return 1;
}

// The line settings of the channel's port (as opened, or as configComm last set them on
// this descriptor) and the descriptor's current time-outs.
extern "C" int32_t getDefaultCommSettings(int32_t channel, CommHandle handle,
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
extern "C" int32_t configComm(int32_t channel, CommHandle handle, CommSettings *settings) {
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
    return 0;
}
