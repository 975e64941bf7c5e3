// A small host for loading hydrix.dll under Wine in tests: the host services over
// plain Win32 calls, a profile table, queues and a trace the test fills and reads
// through the testHost* functions. Enough for the
// driver's life cycle and for requests the test queues; the pool has no messages to
// give, so the engines' own requests (history times, alarms) cannot be raised.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "host/hydrix_host.h"
#include "platform/systime.h"

namespace {

std::mutex gLock;
std::map<std::pair<std::string, std::string>, std::string> gProfile;
std::string gTrace;
HANDLE gPorts[HYDRIX_CHANNELS] = {};
int32_t gExtInterface = 0;
std::deque<HostMsg *> gOutQueue[HYDRIX_CHANNELS];  // requests for the driver
std::deque<HostMsg *> gDone[HYDRIX_CHANNELS];      // handed to the host, or to the pool

bool validChannel(int32_t c) { return c >= 0 && c < HYDRIX_CHANNELS; }

int32_t queue(std::deque<HostMsg *> *queues, int32_t channel, HostMsg *msg, bool front) {
    if (!validChannel(channel) || msg == nullptr) return 0;
    std::lock_guard lk(gLock);
    if (front)
        queues[channel].push_front(msg);
    else
        queues[channel].push_back(msg);
    return 1;
}
const int16_t gDap[2] = {0, 2};  // the second word: 2, the host is ready for data

void trace(const char *text) {
    std::lock_guard lk(gLock);
    gTrace += text;
    if (gTrace.empty() || gTrace.back() != '\n') gTrace += '\n';
}

bool profileValue(const char *section, const char *key, std::string *value) {
    std::lock_guard lk(gLock);
    const auto it = gProfile.find({section ? section : "", key ? key : ""});
    if (it == gProfile.end()) return false;
    *value = it->second;
    return true;
}

}  // namespace

extern "C" {

// ---- Test control (not host services) -------------------------------------------

__declspec(dllexport) void testHostSetProfile(const char *section, const char *key, const char *value) {
    std::lock_guard lk(gLock);
    gProfile[{section, key}] = value;
}

__declspec(dllexport) void testHostSetPort(int32_t channel, HANDLE port) {
    if (channel >= 0 && channel < HYDRIX_CHANNELS) gPorts[channel] = port;
}

// Copies the trace so far into `buffer` (cut to its size); the trace's full length.
__declspec(dllexport) size_t testHostTrace(char *buffer, size_t size) {
    std::lock_guard lk(gLock);
    if (size > 0) {
        const size_t n = gTrace.size() < size - 1 ? gTrace.size() : size - 1;
        std::memcpy(buffer, gTrace.data(), n);
        buffer[n] = '\0';
    }
    return gTrace.size();
}

__declspec(dllexport) int32_t testHostExtInterface() { return gExtInterface; }

__declspec(dllexport) void testHostPushRequest(int32_t channel, HostMsg *msg) { queue(gOutQueue, channel, msg, false); }

// The next message the driver handed back on the channel, or null.
__declspec(dllexport) HostMsg *testHostTakeDone(int32_t channel) {
    if (!validChannel(channel)) return nullptr;
    std::lock_guard lk(gLock);
    if (gDone[channel].empty()) return nullptr;
    HostMsg *msg = gDone[channel].front();
    gDone[channel].pop_front();
    return msg;
}

// ---- Collector library ----------------------------------------------------------

HostMsg *HYDRIX_CALL getMsgFromSapOq(int32_t channel) {
    if (!validChannel(channel)) return nullptr;
    std::lock_guard lk(gLock);
    if (gOutQueue[channel].empty()) return nullptr;
    HostMsg *msg = gOutQueue[channel].front();
    gOutQueue[channel].pop_front();
    return msg;
}
int32_t HYDRIX_CALL insMsgToSapOq(int32_t channel, HostMsg *msg) { return queue(gOutQueue, channel, msg, true); }
int32_t HYDRIX_CALL putMsgToSapOq(int32_t channel, HostMsg *msg) { return queue(gOutQueue, channel, msg, false); }
int32_t HYDRIX_CALL putMsgToSapIq(int32_t channel, HostMsg *msg) { return queue(gDone, channel, msg, false); }
HostMsg *HYDRIX_CALL getMsgFromPool(int32_t) { return nullptr; }
int32_t HYDRIX_CALL putMsgToPool(int32_t channel, HostMsg *msg) { return queue(gDone, channel, msg, false); }

const void *HYDRIX_CALL getDap(void) { return gDap; }
uint32_t HYDRIX_CALL timeExpired(uint32_t startTick) { return GetTickCount() - startTick; }
int32_t HYDRIX_CALL memswap(void *dest, const void *src, int32_t wordCount) {
    auto *d = static_cast<unsigned char *>(dest);
    const auto *s = static_cast<const unsigned char *>(src);
    for (int32_t i = 0; i < wordCount; ++i) {
        d[2 * i] = s[2 * i + 1];
        d[2 * i + 1] = s[2 * i];
    }
    return 1;
}
int32_t HYDRIX_CALL setDrvExtInterface(int32_t flag) {
    gExtInterface = flag;
    return 1;
}
int32_t HYDRIX_CALL textOutput(const char *text) {
    trace(text ? text : "");
    return 1;
}
int32_t textOutputParm(const char *format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    trace(line);
    return 1;
}

CommHandle HYDRIX_CALL getCommHandle(int32_t channel) {
    if (channel < 0 || channel >= HYDRIX_CHANNELS || gPorts[channel] == nullptr) return COMM_HANDLE_INVALID;
    return gPorts[channel];
}
int32_t HYDRIX_CALL reopenCommHandle(int32_t channel, CommHandle *handle) {
    *handle = getCommHandle(channel);
    return *handle != COMM_HANDLE_INVALID;
}
int32_t HYDRIX_CALL initOverlapped(CommOverlapped *overlapped) {
    std::memset(overlapped, 0, sizeof *overlapped);
    return 1;
}
// The test opens its ports without FILE_FLAG_OVERLAPPED: plain reads and writes that
// the port's time-outs bound.
int32_t HYDRIX_CALL readComm(CommHandle handle, CommOverlapped *, int32_t, void *buffer, uint32_t count,
                             uint32_t *errGroup, uint32_t *errCode) {
    DWORD got = 0;
    if (!ReadFile(handle, buffer, count, &got, nullptr)) {
        *errGroup = ERRGRP_NO_PORT_READ;
        *errCode = GetLastError();
        return -1;
    }
    return static_cast<int32_t>(got);
}
int32_t HYDRIX_CALL writeComm(CommHandle handle, CommOverlapped *, int32_t, const void *buffer, uint32_t count,
                              uint32_t *errGroup, uint32_t *errCode) {
    DWORD written = 0;
    if (!WriteFile(handle, buffer, count, &written, nullptr) || written != count) {
        *errGroup = ERRGRP_NO_PORT_SEND;
        *errCode = GetLastError();
        return 0;
    }
    return 1;
}
int32_t HYDRIX_CALL getDefaultCommSettings(int32_t, CommHandle handle, CommSettings *settings) {
    std::memset(settings, 0, sizeof *settings);
    settings->line.DCBlength = sizeof(DCB);
    return GetCommState(handle, &settings->line) && GetCommTimeouts(handle, &settings->timeouts) ? 1 : 0;
}
int32_t HYDRIX_CALL configComm(int32_t, CommHandle handle, CommSettings *settings) {
    if (!SetCommState(handle, &settings->line)) return static_cast<int32_t>(GetLastError());
    if (!SetCommTimeouts(handle, &settings->timeouts)) return static_cast<int32_t>(GetLastError());
    return 0;
}

// ---- Profile library ------------------------------------------------------------

int32_t HYDRIX_CALL myGetPrivateProfileInt(const char *section, const char *key, int32_t defaultValue, int32_t) {
    std::string value;
    return profileValue(section, key, &value) ? static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10))
                                              : defaultValue;
}
int32_t HYDRIX_CALL myGetPrivateProfileString(const char *section, const char *key, const char *defaultText,
                                              char *buffer, uint32_t bufferSize, int32_t) {
    std::string value;
    if (!profileValue(section, key, &value)) value = defaultText ? defaultText : "";
    if (bufferSize == 0) return 0;
    const size_t n = value.size() < bufferSize - 1 ? value.size() : bufferSize - 1;
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return static_cast<int32_t>(n);
}
int32_t logEvent(int32_t, uint32_t eventId, uint32_t osError, const char *source, int32_t sourceLine, int32_t,
                 int32_t, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char line[768];
    std::snprintf(line, sizeof line, "event 0x%08lX os %lu %s:%d %s", static_cast<unsigned long>(eventId),
                  static_cast<unsigned long>(osError), source ? source : "", static_cast<int>(sourceLine), text);
    trace(line);
    return 1;
}

// ---- Time library ---------------------------------------------------------------

int32_t HYDRIX_CALL offsetTZ(OrvelTime *time, int32_t direction, int32_t, int32_t, int32_t) {
    plat::FileTime out;
    const int ok = direction == 0 ? plat::localFileTimeToFileTime(time, &out) : plat::fileTimeToLocalFileTime(time, &out);
    if (ok) *time = out;
    return ok;
}
int32_t HYDRIX_CALL addORVELTimeDay(OrvelTime *time, int32_t days) {
    *time += static_cast<uint64_t>(static_cast<int64_t>(days) * static_cast<int64_t>(plat::FILETIME_PER_DAY));
    return 1;
}
OrvelTime HYDRIX_CALL zeroORVELTime(void) { return 0; }
int32_t HYDRIX_CALL isZeroORVELTime(const OrvelTime *time) { return *time == 0; }

}  // extern "C"
