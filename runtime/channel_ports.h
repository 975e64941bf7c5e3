// The channels' port table, the same on every system: for each channel the port's
// handle, the device and line it was opened with, and the line and time-outs that
// configComm last gave it (they outlive the handle, so a reopen keeps them). The services
// on the table (openChannelPort, closeChannelPort, getCommHandle, reopenCommHandle,
// configComm) are written once in runtime/channel_ports.cpp; the system's side below
// opens and closes the devices and reads and sets their settings (runtime/linux/,
// runtime/windows/).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "runtime/internal.h"

namespace hydrix::rt::detail {

struct ChannelPort {
    CommHandle handle = COMM_HANDLE_INVALID;  // the device (or what stands in for a lost one)
    PortSettings settings;                    // the device's name and the line it was opened with
    CommLine line{};                          // the line and time-outs that configComm last gave the port;
    CommTimeouts timeouts{};                  // they outlive the handle, so a reopen keeps them
    // The device went away; it is opened again when it is back. Only a system that tells
    // a device gone from a failing transfer marks a port lost (Linux: the tty hangs up).
    bool lost = false;
};

struct ChannelPorts {
    std::mutex mutex;  // guards every record
    std::array<ChannelPort, HYDRIX_CHANNELS> ports;
};
ChannelPorts &channelPorts();

// The channel whose port is `handle` (also while it is lost), or -1.
int portChannel(CommHandle handle);

// ---- system ----
// Each is called with the table's lock held; `c` is the channel, 0..7.

// Whether a handle can name an open port at all; configComm's error for one that cannot.
bool validPortHandle(CommHandle handle);
extern const int32_t kInvalidHandleError;

// Opens the device for openChannelPort with the settings' line (the channel's record is
// fresh). The handle, with *line the line the port has; COMM_HANDLE_INVALID with *error.
CommHandle openDevice(size_t c, const PortSettings &settings, CommLine *line, std::string *error);
// Opens the device again for reopenCommHandle, with the line and time-outs the record
// keeps. *osError: the system's error behind a failure.
CommHandle reopenDevice(size_t c, const ChannelPort &port, std::string *error, int *osError);
// Closes the port's handle (handle becomes COMM_HANDLE_INVALID). `forGood`: the channel
// gives the port up (closeChannelPort, openChannelPort), rather than opening it again.
void closeDevice(size_t c, ChannelPort &port, bool forGood);
// The line and time-outs an open handle has now (what it cannot tell stays as it is).
void readDeviceSettings(CommHandle handle, CommLine *line, CommTimeouts *timeouts);
// Applies line settings and time-outs to an open handle: 0 with *applied the line as the
// port now has it, or the error (traced).
int32_t applyDeviceSettings(int32_t channel, CommHandle handle, const CommSettings &settings, CommLine *applied);

// Lost ports. getCommHandle first looks for a lost port's device when that is due;
// reopenCommHandle looks for it only when lostDeviceDue, and then tells how it went.
void lookForLostDevice(size_t c, ChannelPort &port);
bool lostDeviceDue(size_t c, ChannelPort &port);
void reopenFailed(size_t c, ChannelPort &port, const std::string &error, int osError);
void reopened(size_t c, ChannelPort &port);

}  // namespace hydrix::rt::detail
