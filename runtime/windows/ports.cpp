// Windows: the channels' COM ports, and the serial services on them.
//
// A channel's port is the device its profile names (Port=COM5), opened with CreateFile
// without sharing and under a named lock (another program holding the port, or another
// channel naming the same one, gets "port busy") and for overlapped I/O, so that a read waiting for a station's
// bytes never holds up a write of another thread on the same port (the v6 engine's
// receiver and transmitter). The line settings are the DCB that SetCommState takes; the
// time-outs are the port's COMMTIMEOUTS, which bound every ReadFile and WriteFile as the
// driver set them with configComm. reopenCommHandle closes the port and opens it again
// with the DCB and time-outs it last had.
//
// The overlapped record the driver passes: initOverlapped zeroes it and gives it an
// event (one per record, made once and kept, as the driver initialises its records
// again at every start), and readComm reads with it. The v6 engine's transmitter writes
// with the channel's same record while its receiver's read is pending on it, so
// writeComm runs each write on a record of its own, with an event of the calling thread:
// two transfers on one record would take each other's completion.
#include <windows.h>

#include <array>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>

#include "runtime/internal.h"
#include "runtime/runtime.h"
#include "runtime/windows/errors.h"

namespace hydrix::rt {
namespace {

struct ChannelPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE lock = nullptr;    // the port's named lock, held from open to close
    PortSettings settings;    // the device's name and the line it was opened with
    DCB line{};               // the line and time-outs that configComm last gave the port;
    COMMTIMEOUTS timeouts{};  // they outlive the handle, so a reopen keeps them
};

struct PortsState {
    std::mutex mutex;
    std::array<ChannelPort, HYDRIX_CHANNELS> ports;
};

PortsState &portsState() {
    static PortsState s;
    return s;
}

bool validHandle(CommHandle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }

// "COM5" -> "\\.\COM5": the device name that also reaches COM10 and above.
std::string devicePath(const std::string &name) {
    if (name.rfind("\\\\", 0) == 0) return name;
    return "\\\\.\\" + name;
}

std::string openErrorText(const std::string &name, DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return name + " does not exist";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return name + ": port busy (in use by another program)";
    default: return name + ": " + detail::systemErrorText(error);
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
        *error = name + ": cannot set the line: " + detail::systemErrorText(e);
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return h;
}

void closeLocked(ChannelPort &port) {
    if (validHandle(port.handle)) CloseHandle(port.handle);
    port.handle = INVALID_HANDLE_VALUE;
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

void unlockLocked(ChannelPort &port) {
    if (port.lock != nullptr) CloseHandle(port.lock);
    port.lock = nullptr;
}

int channelOf(HANDLE h) {
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    for (size_t c = 0; c < s.ports.size(); ++c)
        if (s.ports[c].handle == h) return static_cast<int>(c);
    return -1;
}

void tapPort(HANDLE h, Direction direction, const void *bytes, DWORD count) {
    if (count == 0 || !detail::anyLineTap()) return;
    detail::tapBytes(channelOf(h), direction, static_cast<const unsigned char *>(bytes), count);
}

// The event of the calling thread that its transfers wait on.
struct ThreadEvent {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~ThreadEvent() {
        if (event != nullptr) CloseHandle(event);
    }
};

// The events that initOverlapped gave the driver's records, by record.
struct RecordEvents {
    std::mutex mutex;
    std::map<const void *, HANDLE> events;
};

RecordEvents &recordEvents() {
    static RecordEvents r;
    return r;
}

// One ReadFile or WriteFile, waited for to its end (the port's time-outs bound it), on
// the driver's record when initOverlapped prepared it, otherwise on one of this call
// with the calling thread's event. The bytes moved; false with *error when it failed.
template <typename Start>
bool transfer(HANDLE h, OVERLAPPED *given, Start start, DWORD *moved, DWORD *error) {
    thread_local ThreadEvent own;
    OVERLAPPED local{};
    local.hEvent = own.event;
    OVERLAPPED &ov = given != nullptr && given->hEvent != nullptr ? *given : local;
    if (&ov == given) {
        const HANDLE event = ov.hEvent;
        ov = OVERLAPPED{};
        ov.hEvent = event;
    }
    *moved = 0;
    if (!start(&ov)) {
        const DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING) {
            *error = e;
            return false;
        }
    }
    if (!GetOverlappedResult(h, &ov, moved, TRUE)) {
        const DWORD e = GetLastError();
        // The port's time-outs ran out: Windows ends the transfer with success and the
        // bytes that moved, Wine with ERROR_TIMEOUT (and the same count). Either way it
        // is no failure of the port.
        if (e == ERROR_TIMEOUT || e == ERROR_SEM_TIMEOUT) {
            *moved = static_cast<DWORD>(ov.InternalHigh);
            return true;
        }
        *error = e;
        return false;
    }
    return true;
}

void storeError(uint32_t *group, uint32_t *code, uint32_t g, DWORD e) {
    if (group) *group = g;
    if (code) *code = e;
}

}  // namespace

std::optional<std::string> openChannelPort(int channel, const PortSettings &settings) {
    if (!detail::checkChannel("openChannelPort", channel))
        return "channel " + std::to_string(channel) + " is not 0 to 7";
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    ChannelPort &port = s.ports[static_cast<size_t>(channel)];
    // The channel's old port goes first: it may be the same device, which is not shared.
    closeLocked(port);
    unlockLocked(port);
    port = ChannelPort{};
    std::string error;
    const HANDLE portLock = settings.device.empty() ? nullptr : takePortLock(settings.device, &error);
    if (portLock == INVALID_HANDLE_VALUE) return error;
    const HANDLE h = openPort(settings.device, settings.line, COMMTIMEOUTS{}, &error);
    if (h == INVALID_HANDLE_VALUE) {
        if (portLock != nullptr) CloseHandle(portLock);
        return error;
    }
    port.lock = portLock;
    port.handle = h;
    port.settings = settings;
    port.line.DCBlength = sizeof port.line;
    GetCommState(h, &port.line);
    return std::nullopt;
}

void closeChannelPort(int channel) {
    if (!detail::checkChannel("closeChannelPort", channel)) return;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    closeLocked(s.ports[static_cast<size_t>(channel)]);
    unlockLocked(s.ports[static_cast<size_t>(channel)]);
}

namespace detail {

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

}  // namespace detail
}  // namespace hydrix::rt

using namespace hydrix::rt;

extern "C" CommHandle HYDRIX_CALL getCommHandle(int32_t channel) {
    if (!detail::checkChannel("getCommHandle", channel)) return COMM_HANDLE_INVALID;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    return s.ports[static_cast<size_t>(channel)].handle;
}

// Closes the channel's port and opens the same device again with the line settings and
// time-outs it last had. The new handle goes to *handle (the invalid handle on failure).
extern "C" int32_t HYDRIX_CALL reopenCommHandle(int32_t channel, CommHandle *handle) {
    if (!detail::checkChannel("reopenCommHandle", channel)) return 0;
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    ChannelPort &port = s.ports[static_cast<size_t>(channel)];
    if (port.settings.device.empty()) {
        detail::tracef("reopenCommHandle: channel %d has no port", channel);
        if (handle) *handle = COMM_HANDLE_INVALID;
        return 0;
    }
    if (validHandle(port.handle)) {
        // Settings given to the handle itself count as well.
        DCB line{};
        line.DCBlength = sizeof line;
        if (GetCommState(port.handle, &line)) port.line = line;
        COMMTIMEOUTS timeouts{};
        if (GetCommTimeouts(port.handle, &timeouts)) port.timeouts = timeouts;
    }
    closeLocked(port);
    std::string error;
    port.handle = openPort(port.settings.device, port.line, port.timeouts, &error);
    if (handle) *handle = port.handle;
    if (port.handle == INVALID_HANDLE_VALUE) {
        detail::tracef("reopenCommHandle: channel %d: %s", channel, error.c_str());
        return 0;
    }
    return 1;
}

// The port's own line settings and time-outs.
extern "C" int32_t HYDRIX_CALL getDefaultCommSettings(int32_t channel, CommHandle handle, CommSettings *settings) {
    if (!settings) return 0;
    if (!validHandle(handle)) {
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

// Applies line settings and time-outs; 0 on success, the system's error number on failure.
extern "C" int32_t HYDRIX_CALL configComm(int32_t channel, CommHandle handle, CommSettings *settings) {
    if (!settings || !validHandle(handle)) {
        detail::tracef("configComm: channel %d: no port handle or settings", channel);
        return ERROR_INVALID_HANDLE;
    }
    DCB line = settings->line;
    line.DCBlength = sizeof line;
    COMMTIMEOUTS timeouts = settings->timeouts;
    if (!SetCommState(handle, &line) || !SetCommTimeouts(handle, &timeouts)) {
        const DWORD e = GetLastError();
        detail::tracef("configComm: channel %d: %s", channel, detail::systemErrorText(e).c_str());
        return e != 0 ? static_cast<int32_t>(e) : 1;
    }
    PortsState &s = portsState();
    std::lock_guard lock(s.mutex);
    for (ChannelPort &port : s.ports) {
        if (port.handle == handle) {
            port.line = line;
            port.timeouts = timeouts;
        }
    }
    return 0;
}

extern "C" int32_t HYDRIX_CALL initOverlapped(CommOverlapped *overlapped) {
    if (!overlapped) return 0;
    std::memset(overlapped, 0, sizeof *overlapped);
    RecordEvents &r = recordEvents();
    std::lock_guard lock(r.mutex);
    HANDLE &event = r.events[overlapped];
    if (event == nullptr) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    overlapped->hEvent = event;
    return event != nullptr ? 1 : 0;
}

// Reads up to `count` bytes as the port's time-outs allow: the bytes read (0 when the
// time-outs ran out first), or -1 with group ERRGRP_NO_PORT_READ and the system's error.
extern "C" int32_t HYDRIX_CALL readComm(CommHandle handle, CommOverlapped *overlapped, int32_t, void *buffer, uint32_t count,
                                        uint32_t *errGroup, uint32_t *errCode) {
    if (!validHandle(handle) || (!buffer && count > 0)) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_READ, ERROR_INVALID_HANDLE);
        return -1;
    }
    if (count == 0) return 0;
    if (count > 0x7FFFFFFFu) count = 0x7FFFFFFFu;  // the result is a signed 32-bit count
    DWORD got = 0, error = 0;
    if (!transfer(handle, overlapped, [&](OVERLAPPED *ov) { return ReadFile(handle, buffer, count, nullptr, ov); },
                  &got, &error)) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_READ, error);
        return -1;
    }
    tapPort(handle, Direction::Read, buffer, got);
    return static_cast<int32_t>(got);
}

// Writes `count` bytes: 1 when all went out, 0 with group ERRGRP_NO_PORT_SEND and the
// system's error otherwise (ERROR_TIMEOUT when the write time-outs ran out first).
extern "C" int32_t HYDRIX_CALL writeComm(CommHandle handle, CommOverlapped *, int32_t, const void *buffer,
                                         uint32_t count, uint32_t *errGroup, uint32_t *errCode) {
    if (!validHandle(handle) || (!buffer && count > 0)) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_SEND, ERROR_INVALID_HANDLE);
        return 0;
    }
    if (count == 0) return 1;
    DWORD done = 0, error = 0;
    const bool ok = transfer(
        handle, nullptr, [&](OVERLAPPED *ov) { return WriteFile(handle, buffer, count, nullptr, ov); }, &done, &error);
    tapPort(handle, Direction::Written, buffer, done);  // what went out, also of a failed write
    if (!ok) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_SEND, error);
        return 0;
    }
    if (done < count) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_SEND, ERROR_TIMEOUT);
        return 0;
    }
    return 1;
}
