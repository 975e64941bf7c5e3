// Windows: readComm and writeComm on the channels' COM ports, opened for overlapped I/O
// so that a read waiting for a station's bytes never holds up a write of another thread
// on the same port (the v6 engine's receiver and transmitter).
//
// The overlapped record the driver passes: initOverlapped zeroes it and gives it an
// event (one per record, made once and kept, as the driver initialises its records
// again at every start), and readComm reads with it. The v6 engine's transmitter writes
// with the channel's same record while its receiver's read is pending on it, so
// writeComm runs each write on a record of its own, with an event of the calling thread:
// two transfers on one record would take each other's completion.
#include <windows.h>

#include <cstring>
#include <map>
#include <mutex>

#include "runtime/channel_ports.h"
#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

void tapPort(HANDLE h, Direction direction, const void *bytes, DWORD count) {
    if (count == 0 || !detail::anyLineTap()) return;
    detail::tapBytes(detail::portChannel(h), direction, static_cast<const unsigned char *>(bytes), count);
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
}  // namespace hydrix::rt

using namespace hydrix::rt;
using detail::validPortHandle;

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
extern "C" int32_t HYDRIX_CALL readComm(CommHandle handle, CommOverlapped *overlapped, int32_t, void *buffer,
                                        uint32_t count, uint32_t *errGroup, uint32_t *errCode) {
    if (!validPortHandle(handle) || (!buffer && count > 0)) {
        storeError(errGroup, errCode, ERRGRP_NO_PORT_READ, ERROR_INVALID_HANDLE);
        return -1;
    }
    if (count == 0) return 0;
    if (count > 0x7FFFFFFFu) count = 0x7FFFFFFFu;  // the result is a signed 32-bit count
    DWORD got = 0, error = 0;
    if (!transfer(
            handle, overlapped, [&](OVERLAPPED *ov) { return ReadFile(handle, buffer, count, nullptr, ov); }, &got,
            &error)) {
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
    if (!validPortHandle(handle) || (!buffer && count > 0)) {
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
