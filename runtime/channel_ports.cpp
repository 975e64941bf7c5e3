// The ports of the channels: opened by the host from the profile's line settings, handed
// to the driver through getCommHandle, reopened on its request, configured by configComm.
// What each system does to a device is in runtime/linux/ and runtime/windows/.
#include "runtime/channel_ports.h"

#include "runtime/runtime.h"

namespace hydrix::rt {
namespace detail {

ChannelPorts &channelPorts() {
    static ChannelPorts t;
    return t;
}

int portChannel(CommHandle handle) {
    if (!validPortHandle(handle)) return -1;
    ChannelPorts &t = channelPorts();
    std::lock_guard lock(t.mutex);
    for (size_t c = 0; c < t.ports.size(); ++c)
        if (t.ports[c].handle == handle) return static_cast<int>(c);
    return -1;
}

}  // namespace detail

std::optional<std::string> openChannelPort(int channel, const PortSettings &settings) {
    if (!detail::checkChannel("openChannelPort", channel))
        return "channel " + std::to_string(channel) + " is not 0 to 7";
    detail::ChannelPorts &t = detail::channelPorts();
    std::lock_guard lock(t.mutex);
    const auto c = static_cast<size_t>(channel);
    detail::ChannelPort &port = t.ports[c];
    // The channel's old port goes first: it may be the same device, which is held
    // exclusively.
    detail::closeDevice(c, port, true);
    port = detail::ChannelPort{};
    std::string error;
    CommLine line{};
    const CommHandle handle = detail::openDevice(c, settings, &line, &error);
    if (handle == COMM_HANDLE_INVALID) return error;
    port.handle = handle;
    port.settings = settings;
    port.line = line;
    return std::nullopt;
}

void closeChannelPort(int channel) {
    if (!detail::checkChannel("closeChannelPort", channel)) return;
    detail::ChannelPorts &t = detail::channelPorts();
    std::lock_guard lock(t.mutex);
    const auto c = static_cast<size_t>(channel);
    detail::closeDevice(c, t.ports[c], true);
    t.ports[c].lost = false;
}

}  // namespace hydrix::rt

using namespace hydrix::rt;

extern "C" CommHandle HYDRIX_CALL getCommHandle(int32_t channel) {
    if (!detail::checkChannel("getCommHandle", channel)) return COMM_HANDLE_INVALID;
    detail::ChannelPorts &t = detail::channelPorts();
    std::lock_guard lock(t.mutex);
    const auto c = static_cast<size_t>(channel);
    detail::lookForLostDevice(c, t.ports[c]);
    return t.ports[c].handle;
}

// Closes the channel's port and opens the same device again with the line settings and
// time-outs it last had. The new handle goes to *handle (the invalid handle on failure;
// where the system tells a lost device, the port is then opened again as soon as the
// device is back).
extern "C" int32_t HYDRIX_CALL reopenCommHandle(int32_t channel, CommHandle *handle) {
    if (!detail::checkChannel("reopenCommHandle", channel)) return 0;
    detail::ChannelPorts &t = detail::channelPorts();
    std::lock_guard lock(t.mutex);
    const auto c = static_cast<size_t>(channel);
    detail::ChannelPort &port = t.ports[c];
    auto result = [handle](CommHandle h) {
        if (handle) *handle = h;
        return h == COMM_HANDLE_INVALID ? 0 : 1;
    };
    if (port.settings.device.empty()) {
        detail::tracef("reopenCommHandle: channel %d has no port", channel);
        return result(COMM_HANDLE_INVALID);
    }
    // Settings given to the handle itself count as well.
    if (detail::validPortHandle(port.handle) && !port.lost)
        detail::readDeviceSettings(port.handle, &port.line, &port.timeouts);
    detail::closeDevice(c, port, false);
    // A device that is still away is not looked for again before its back-off has run
    // out, however often the driver asks.
    if (port.lost && !detail::lostDeviceDue(c, port)) return result(COMM_HANDLE_INVALID);
    std::string error;
    int osError = 0;
    const CommHandle reopened = detail::reopenDevice(c, port, &error, &osError);
    if (reopened == COMM_HANDLE_INVALID) {
        detail::tracef("reopenCommHandle: channel %d: %s", channel, error.c_str());
        detail::reopenFailed(c, port, error, osError);
        return result(COMM_HANDLE_INVALID);
    }
    port.handle = reopened;
    detail::reopened(c, port);
    return result(reopened);
}

// Applies line settings and time-outs; 0 on success, the system's error number (or 1)
// on failure. The channel whose port it is keeps them for its next reopen.
extern "C" int32_t HYDRIX_CALL configComm(int32_t channel, CommHandle handle, CommSettings *settings) {
    if (!settings || !detail::validPortHandle(handle)) {
        detail::tracef("configComm: channel %d: no port handle or settings", channel);
        return detail::kInvalidHandleError;
    }
    CommLine applied{};
    if (const int32_t error = detail::applyDeviceSettings(channel, handle, *settings, &applied)) return error;
    detail::ChannelPorts &t = detail::channelPorts();
    std::lock_guard lock(t.mutex);
    for (detail::ChannelPort &port : t.ports) {
        if (port.handle == handle && !port.lost) {
            port.line = applied;
            port.timeouts = settings->timeouts;
        }
    }
    return 0;
}
