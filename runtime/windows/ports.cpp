// Windows' side of the channel-port table (runtime/channel_ports.h): a channel's port is
// the device its profile names (Port=COM5), opened with CreateFile without sharing and
// under a named lock (another program holding the port, or another channel naming the
// same one, gets "port busy") and for overlapped I/O (see comm_io.cpp). The line settings
// are the DCB that SetCommState takes; the time-outs are the port's COMMTIMEOUTS, which
// bound every ReadFile and WriteFile as the driver set them with configComm.
// reopenCommHandle closes the port and opens it again with the DCB and time-outs it last
// had; the named lock stays with the channel until it gives the port up.
#include <windows.h>

#include <array>
#include <cctype>
#include <cstring>

#include "runtime/channel_ports.h"
#include "runtime/internal.h"
#include "runtime/runtime.h"
#include "runtime/windows/errors.h"

namespace hydrix::rt::detail {
namespace {

// Each channel's named lock, held from openChannelPort to closeChannelPort. Guarded by
// the table's lock.
std::array<HANDLE, HYDRIX_CHANNELS> portLocks{};

// "COM5" -> "\\.\COM5": the device name that also reaches COM10 and above.
std::string devicePath(const std::string &name) {
    if (name.rfind("\\\\", 0) == 0) return name;
    return "\\\\.\\" + name;
}

std::string openErrorText(const std::string &name, DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return name + " does not exist";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return name + ": port busy (in use by another program)";
    default:
        return name + ": " + systemErrorText(error);
    }
}

// The settings' line on an open port: its own DCB with our fields over it, binary, no
// software flow control, and no abort on a line error (which would fail every transfer
// until ClearCommError).
bool applyDcb(HANDLE h, const DCB &wanted, DCB *applied, DWORD *error) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        *error = GetLastError();
        return false;
    }
    dcb.BaudRate = wanted.BaudRate;
    dcb.ByteSize = wanted.ByteSize;
    dcb.Parity = wanted.Parity;
    dcb.StopBits = wanted.StopBits;
    dcb.fParity = wanted.Parity != NOPARITY;
    dcb.fDtrControl = wanted.fDtrControl;
    dcb.fRtsControl = wanted.fRtsControl;
    dcb.fOutxCtsFlow = wanted.fRtsControl == RTS_CONTROL_HANDSHAKE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fBinary = TRUE;
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.fErrorChar = dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(h, &dcb)) {
        *error = GetLastError();
        return false;
    }
    *applied = dcb;
    return true;
}

// Opens the device with the line and time-outs; INVALID_HANDLE_VALUE with *error.
HANDLE openPort(const std::string &name, const DCB &line, const COMMTIMEOUTS &timeouts, std::string *error) {
    if (name.empty()) {
        *error = "no port device given";
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = CreateFileA(devicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = openErrorText(name, GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    DCB applied{};
    DWORD e = 0;
    COMMTIMEOUTS t = timeouts;
    if (!applyDcb(h, line, &applied, &e) || !SetCommTimeouts(h, &t)) {
        if (e == 0) e = GetLastError();
        *error = name + ": cannot set the line: " + systemErrorText(e);
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return h;
}

// Every host that takes ports through this runtime also holds a named object for each
// port it has open, "hydrix-port-COM5" (Global\, or Local\ where the session may not
// make global names): a second holder finds it there and is refused, as the system's
// own exclusive open refuses it - which Wine does not do for a COM port behind a
// pseudo-terminal. Two hosts sharing one line would each take the other's replies.
HANDLE takePortLock(const std::string &name, std::string *error) {
    std::string key = "hydrix-port-";
    for (char ch : name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name)
        key += ch == '\\' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    HANDLE lock = CreateMutexA(nullptr, FALSE, ("Global\\" + key).c_str());
    if (lock == nullptr) lock = CreateMutexA(nullptr, FALSE, ("Local\\" + key).c_str());
    if (lock != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(lock);
        *error = name + ": port busy (another channel or HYDRIX host has it open)";
        return INVALID_HANDLE_VALUE;
    }
    return lock;  // null: no lock could be made; the system's exclusive open still holds
}

}  // namespace

const int32_t kInvalidHandleError = ERROR_INVALID_HANDLE;

bool validPortHandle(CommHandle handle) { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }

CommHandle openDevice(size_t c, const PortSettings &settings, CommLine *line, std::string *error) {
    const HANDLE portLock = settings.device.empty() ? nullptr : takePortLock(settings.device, error);
    if (portLock == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    const HANDLE h = openPort(settings.device, settings.line, COMMTIMEOUTS{}, error);
    if (h == INVALID_HANDLE_VALUE) {
        if (portLock != nullptr) CloseHandle(portLock);
        return INVALID_HANDLE_VALUE;
    }
    portLocks[c] = portLock;
    line->DCBlength = sizeof *line;
    GetCommState(h, line);
    return h;
}

CommHandle reopenDevice(size_t, const ChannelPort &port, std::string *error, int *) {
    return openPort(port.settings.device, port.line, port.timeouts, error);
}

void closeDevice(size_t c, ChannelPort &port, bool forGood) {
    if (validPortHandle(port.handle)) CloseHandle(port.handle);
    port.handle = INVALID_HANDLE_VALUE;
    if (forGood && portLocks[c] != nullptr) {
        CloseHandle(portLocks[c]);
        portLocks[c] = nullptr;
    }
}

void readDeviceSettings(CommHandle handle, CommLine *line, CommTimeouts *timeouts) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(handle, &dcb)) *line = dcb;
    COMMTIMEOUTS t{};
    if (GetCommTimeouts(handle, &t)) *timeouts = t;
}

int32_t applyDeviceSettings(int32_t channel, CommHandle handle, const CommSettings &settings, CommLine *applied) {
    DCB line = settings.line;
    line.DCBlength = sizeof line;
    COMMTIMEOUTS timeouts = settings.timeouts;
    if (!SetCommState(handle, &line) || !SetCommTimeouts(handle, &timeouts)) {
        const DWORD e = GetLastError();
        tracef("configComm: channel %d: %s", channel, systemErrorText(e).c_str());
        return e != 0 ? static_cast<int32_t>(e) : 1;
    }
    *applied = line;
    return 0;
}

// A COM port that goes away fails its transfers until the driver reopens it: no port is
// marked lost here.
void lookForLostDevice(size_t, ChannelPort &) {}
bool lostDeviceDue(size_t, ChannelPort &) { return true; }
void reopenFailed(size_t, ChannelPort &, const std::string &, int) {}
void reopened(size_t, ChannelPort &) {}

LineFields lineFields(const CommLine &line) {
    return LineFields{line.BaudRate, line.ByteSize, line.Parity, line.StopBits};
}

void setLineFields(CommLine *line, const LineFields &fields) {
    line->BaudRate = fields.baudRate;
    line->ByteSize = fields.byteSize;
    line->Parity = fields.parity;
    line->StopBits = fields.stopBits;
}

CommLine defaultLine() {
    DCB line{};
    line.DCBlength = sizeof line;
    line.BaudRate = CBR_9600;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    line.fBinary = TRUE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    return line;
}

// A COM port's driver takes any rate its hardware can make; these are the ones a
// serial line of a station runs at.
bool supportedBaudRate(uint32_t rate) { return rate >= 50 && rate <= 4000000; }

}  // namespace hydrix::rt::detail

using namespace hydrix::rt;

// The port's own line settings and time-outs.
extern "C" int32_t HYDRIX_CALL getDefaultCommSettings(int32_t channel, CommHandle handle, CommSettings *settings) {
    if (!settings) return 0;
    if (!detail::validPortHandle(handle)) {
        detail::tracef("getDefaultCommSettings: channel %d: no port handle", channel);
        return 0;
    }
    std::memset(settings, 0, sizeof *settings);
    settings->line.DCBlength = sizeof settings->line;
    if (!GetCommState(handle, &settings->line) || !GetCommTimeouts(handle, &settings->timeouts)) {
        detail::tracef("getDefaultCommSettings: channel %d: %s", channel,
                       detail::systemErrorText(GetLastError()).c_str());
        return 0;
    }
    return 1;
}
