// The Windows host runtime (hydrix_runtime.dll) as a host uses it: the profile's port
// keys in a DCB, a channel's COM port (Wine's COM5, a pseudo-terminal that sends every
// byte back) with its time-outs, exclusive use, overlapped transfers of two threads at
// once, the line tap and reopening; the event log, local time, the queues, the services
// under their plain names, and hydrix.dll loaded through the runtime.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "tests/common/host_services.h"
#include "host/hydrix_host.h"
#include "runtime/driver_library.h"
#include "runtime/runtime.h"
#include "runtime/windows/event_source.h"
#include "hydrix_messages.h"

namespace rt = hydrix::rt;

namespace {

constexpr int kChannel = 0;
HANDLE gPort = INVALID_HANDLE_VALUE;

DCB getDefaultLine() {
    rt::PortSettings s;
    rt::loadProfileText("[Chan0]\nPort=COM5\n");
    rt::portSettingsFromProfile("Chan0", &s);
    return s.line;
}

bool contains(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

void setTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
    CommSettings s{};
    CHECK(getDefaultCommSettings(kChannel, gPort, &s) == 1);
    s.timeouts = COMMTIMEOUTS{interval, multiplier, constant, 0, 2000};
    CHECK(configComm(kChannel, gPort, &s) == 0);
}

int32_t readSome(HANDLE port, char *buffer, uint32_t count) {
    CommOverlapped ov;
    initOverlapped(&ov);
    uint32_t group = 0, code = 0;
    return readComm(port, &ov, 0, buffer, count, &group, &code);
}

bool write(HANDLE port, const char *text) {
    CommOverlapped ov;
    initOverlapped(&ov);
    uint32_t group = 0, code = 0;
    return writeComm(port, &ov, 0, text, static_cast<uint32_t>(std::strlen(text)), &group, &code) == 1;
}

void portKeysMakeTheDcb() {
    struct Case {
        const char *keys;
        DWORD baud;
        BYTE size, parity, stop;
        const char *error;  // part of the error text, or null
    } cases[] = {
        {"Port=COM5", 9600, 8, NOPARITY, ONESTOPBIT, nullptr},
        {"Port=COM5\nBaudrate=19200\nDataBits=7\nParity=even\nStopBits=2", 19200, 7, EVENPARITY, TWOSTOPBITS, nullptr},
        {"Port=COM12\nParity=Mark\nStopBits=1.5\nDataBits=5", 9600, 5, MARKPARITY, ONE5STOPBITS, nullptr},
        {"Port=COM5\nParity=s", 9600, 8, SPACEPARITY, ONESTOPBIT, nullptr},
        {"Port=COM5\nBaudrate=0", 0, 0, 0, 0, "Baudrate 0"},
        {"Port=COM5\nParity=sometimes", 0, 0, 0, 0, "Parity must be"},
    };
    for (const Case &c : cases) {
        CHECK_CASE(!rt::loadProfileText(std::string("[Chan0]\n") + c.keys + "\n"), c.keys);
        rt::PortSettings s;
        const auto error = rt::portSettingsFromProfile("Chan0", &s);
        if (c.error) {
            CHECK_CASE(error && contains(*error, c.error), c.keys);
            continue;
        }
        CHECK_CASE(!error, c.keys);
        CHECK_CASE(s.line.DCBlength == sizeof(DCB) && s.line.BaudRate == c.baud && s.line.ByteSize == c.size &&
                       s.line.Parity == c.parity && s.line.StopBits == c.stop,
                   c.keys);
    }
}

void opening() {
    rt::PortSettings s;
    CHECK(!rt::loadProfileText("[Chan0]\nPort=COM5\nBaudrate=19200\n"));
    CHECK(!rt::portSettingsFromProfile("Chan0", &s));
    CHECK(!rt::openChannelPort(kChannel, s));
    gPort = getCommHandle(kChannel);
    CHECK(gPort != COMM_HANDLE_INVALID);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    CHECK(GetCommState(gPort, &dcb) && dcb.BaudRate == 19200 && dcb.fBinary && !dcb.fAbortOnError);
    // The port is the channel's alone: neither another channel nor another program gets it.
    for (const char *name : {"COM5", "com5", "\\\\.\\COM5"}) {
        rt::PortSettings same = s;
        same.device = name;
        const auto busy = rt::openChannelPort(1, same);
        CHECK_CASE(busy && contains(*busy, ": port busy"), name);
    }
    CHECK(getCommHandle(1) == COMM_HANDLE_INVALID);
    rt::PortSettings missing = s;
    missing.device = "COM77";
    const auto absent = rt::openChannelPort(2, missing);
    CHECK(absent && *absent == "COM77 does not exist");
    CHECK(getCommHandle(2) == COMM_HANDLE_INVALID);
}

void timedTransfers() {
    setTimeouts(0, 0, 300);
    CHECK(write(gPort, "hello"));
    char buffer[16] = {};
    CHECK(readSome(gPort, buffer, 5) == 5 && std::memcmp(buffer, "hello", 5) == 0);
    // Nothing comes: the total time-out ends the read with no bytes (ticks: 16 ms steps).
    const DWORD start = GetTickCount();
    CHECK(readSome(gPort, buffer, 5) == 0);
    // Fewer bytes than asked for: the time-out hands over those that came.
    CHECK(write(gPort, "abc"));
    CHECK(readSome(gPort, buffer, 8) == 3 && std::memcmp(buffer, "abc", 3) == 0);
    const DWORD took = GetTickCount() - start;
    CHECK(took >= 250 && took < 2000);
    // Bad arguments fail with the port-read and port-send groups.
    uint32_t group = 0, code = 0;
    CHECK(readComm(COMM_HANDLE_INVALID, nullptr, 0, buffer, 1, &group, &code) == -1 && group == ERRGRP_NO_PORT_READ &&
          code == ERROR_INVALID_HANDLE);
    CHECK(writeComm(COMM_HANDLE_INVALID, nullptr, 0, "x", 1, &group, &code) == 0 && group == ERRGRP_NO_PORT_SEND);
}

// The v6 engine's receiver waits in a read for the first byte while its transmitter
// writes on the same port, both with the channel's one overlapped record.
void readWaitsWhileAnotherThreadWrites() {
    setTimeouts(50, 0, 0);  // interval only: the read waits for its first byte
    CommOverlapped shared;
    initOverlapped(&shared);
    std::atomic<int32_t> got{-2};
    char buffer[8] = {};
    std::thread reader([&] {
        uint32_t group = 0, code = 0;
        got = readComm(gPort, &shared, 0, buffer, sizeof buffer, &group, &code);
    });
    Sleep(100);  // the reader is waiting now (nothing is on the line)
    CHECK(got.load() == -2);
    uint32_t group = 0, code = 0;
    const DWORD start = GetTickCount();
    CHECK(writeComm(gPort, &shared, 0, "ping", 4, &group, &code) == 1);
    CHECK(GetTickCount() - start < 1000);
    reader.join();
    CHECK(got.load() == 4 && std::memcmp(buffer, "ping", 4) == 0);
}

void tapSeesBothWays() {
    setTimeouts(0, 0, 500);
    std::vector<std::string> seen;
    rt::setLineTap(kChannel, [&](rt::Direction d, const uint8_t *bytes, size_t n) {
        std::string entry(1, d == rt::Direction::Read ? '<' : '>');
        entry.append(reinterpret_cast<const char *>(bytes), n);
        seen.push_back(entry);
    });
    CHECK(write(gPort, "abc"));
    char buffer[4] = {};
    CHECK(readSome(gPort, buffer, 3) == 3);
    rt::setLineTap(kChannel, {});
    CHECK(seen == (std::vector<std::string>{">abc", "<abc"}));
}

void reopenKeepsSettings() {
    setTimeouts(0, 0, 400);
    CommHandle fresh = COMM_HANDLE_INVALID;
    CHECK(reopenCommHandle(kChannel, &fresh) == 1);
    CHECK(fresh != COMM_HANDLE_INVALID && getCommHandle(kChannel) == fresh);
    COMMTIMEOUTS t{};
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    CHECK(GetCommTimeouts(fresh, &t) && t.ReadTotalTimeoutConstant == 400 && t.WriteTotalTimeoutConstant == 2000);
    CHECK(GetCommState(fresh, &dcb) && dcb.BaudRate == 19200);
    gPort = fresh;
    CHECK(write(gPort, "again"));
    char buffer[8] = {};
    CHECK(readSome(gPort, buffer, 5) == 5 && std::memcmp(buffer, "again", 5) == 0);
    // A channel without a port cannot be reopened.
    CHECK(reopenCommHandle(5, &fresh) == 0 && fresh == COMM_HANDLE_INVALID);
}

void eventsAndTime() {
    std::vector<std::string> lines;
    rt::setTraceFile(nullptr);
    rt::setTraceSink([&](const std::string &line) { lines.push_back(line); });
    logEvent(-1, 0xC2100B55u, 5, "lifecycle.cpp", 42, 0, 0, "channel %d: %s", 3, "no device name");
    rt::setTraceSink({});
    CHECK(lines.size() == 1 && lines[0] == "EVENT 0xC2100B55 lifecycle.cpp:42 (os 5) channel 3: no device name");
    const auto events = rt::loggedEvents();
    CHECK(!events.empty() && events.back().eventId == 0xC2100B55u && events.back().text == "channel 3: no device name");

    // The offset in force at each instant (the test runs in Central European time).
    constexpr OrvelTime kHour = 36000000000ULL;
    constexpr OrvelTime kJuly1Noon = 134273808000000000ULL;     // 2026-07-01 12:00 UTC
    constexpr OrvelTime kJanuary1Noon = 134117424000000000ULL;  // 2026-01-01 12:00 UTC
    OrvelTime t = kJuly1Noon;
    CHECK(offsetTZ(&t, 1, 0, 0, 0) == 1 && t == kJuly1Noon + 2 * kHour);
    CHECK(offsetTZ(&t, 0, 0, 0, 0) == 1 && t == kJuly1Noon);
    t = kJanuary1Noon;
    CHECK(offsetTZ(&t, 1, 0, 0, 0) == 1 && t == kJanuary1Noon + kHour);
    OrvelTime zero = 0;
    CHECK(offsetTZ(&zero, 1, 0, 0, 0) == 1 && zero == 0);
    CHECK(offsetTZ(&t, 2, 0, 0, 0) == 0);
}

// The event log source: registered, it names the runtime DLL, whose message table gives
// each severity's entry the text the runtime wrote (read back as Event Viewer does:
// through the registered file). Removed again, nothing is left.
void eventLogSource() {
    CHECK(rt::installEventSource().empty());
    HKEY key = nullptr;
    char file[MAX_PATH + 1] = {};
    DWORD size = sizeof file - 1, types = 0, typesSize = sizeof types;
    CHECK(RegOpenKeyExA(HKEY_LOCAL_MACHINE, rt::kEventSourceKey, 0, KEY_READ, &key) == ERROR_SUCCESS);
    CHECK(RegQueryValueExA(key, "EventMessageFile", nullptr, nullptr, reinterpret_cast<BYTE *>(file), &size) ==
          ERROR_SUCCESS);
    CHECK(RegQueryValueExA(key, "TypesSupported", nullptr, nullptr, reinterpret_cast<BYTE *>(&types), &typesSize) ==
              ERROR_SUCCESS &&
          types == 7);
    RegCloseKey(key);
    CHECK(contains(file, "hydrix_runtime.dll") && std::string(file) == rt::runtimeLibraryPath());

    const HMODULE messages = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    CHECK(messages != nullptr);
    const std::string text = "event 0xC2100B55 lifecycle.cpp:42 (os 5) channel 3: no device name";
    for (DWORD id : {HYDRIX_MSG_ERROR, HYDRIX_MSG_WARNING, HYDRIX_MSG_INFORMATION}) {
        const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
        char shown[512] = {};
        const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages, id, 0,
                                       shown, sizeof shown, reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(args)));
        CHECK_CASE(n > 0 && std::string(shown) == text + "\r\n", shown);
    }
    CHECK(HYDRIX_MSG_ERROR >> 30 == 3 && HYDRIX_MSG_WARNING >> 30 == 2 && HYDRIX_MSG_INFORMATION >> 30 == 1);
    if (messages != nullptr) FreeLibrary(messages);

    CHECK(rt::uninstallEventSource().empty());
    CHECK(RegOpenKeyExA(HKEY_LOCAL_MACHINE, rt::kEventSourceKey, 0, KEY_READ, &key) == ERROR_FILE_NOT_FOUND);
    CHECK(rt::uninstallEventSource().empty());  // not registered: nothing to do
}

void queues() {
    HostMsg *m = getMsgFromPool(3);
    CHECK(m != nullptr && m->data != nullptr);
    if (m == nullptr) return;
    m->node = 12;
    CHECK(putMsgToSapIq(3, m) == 1);
    CHECK(rt::waitInputQueue(3, 1000) == m);
    CHECK(putMsgToPool(3, m) == 1);
    CHECK(putMsgToPool(3, m) == 0);  // already back
}

void exportsAndDriver() {
    const HMODULE runtime = GetModuleHandleA("hydrix_runtime.dll");
    CHECK(runtime != nullptr);
    for (const char *name : kHostServiceNames) CHECK_CASE(GetProcAddress(runtime, name) != nullptr, name);

    // A port failure's code is a Windows error number, told in the system's words (not
    // read as a C library errno: 21 there is "Is a directory").
    const std::string notReady = rt::systemErrorText(ERROR_NOT_READY);
    CHECK(contains(notReady, "(error 21)") && !contains(notReady, "directory"));

    rt::DriverLibrary driver;
    std::string error;
    CHECK(!driver.open("no_such_driver.dll", &error));
    CHECK(contains(error, "cannot load the driver library no_such_driver.dll: ") && contains(error, "(error 126)"));
    CHECK(driver.open(".\\hydrix.dll", &error));  // with a folder: by its full path
    CHECK(driver.open("hydrix.dll", &error));
    CHECK(driver.drvInstall && driver.drvStart && driver.canDisconnect && driver.preEvent);
    if (driver.drvInstall) {
        CHECK(driver.drvInstall("Driver") == 1);
        CHECK(rt::extInterfaceFlag() == 1);  // the driver said so through the runtime
        CHECK(driver.drvUnInstall() == 1);
    }
}

}  // namespace

int main() {
    rt::setTraceFile(nullptr);  // the trace lines are the test's to look at, not stderr's
    portKeysMakeTheDcb();
    opening();
    if (gPort != COMM_HANDLE_INVALID) {
        timedTransfers();
        readWaitsWhileAnotherThreadWrites();
        tapSeesBothWays();
        reopenKeepsSettings();
        rt::closeChannelPort(kChannel);
        CHECK(getCommHandle(kChannel) == COMM_HANDLE_INVALID);
        // Closed, the port is free for another channel.
        rt::PortSettings s;
        s.line = getDefaultLine();
        s.device = "COM5";
        CHECK(!rt::openChannelPort(1, s));
        rt::closeChannelPort(1);
    }
    eventsAndTime();
    eventLogSource();
    queues();
    exportsAndDriver();
    return wincheck::finish();
}
