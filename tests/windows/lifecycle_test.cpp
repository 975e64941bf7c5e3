// hydrix.dll loaded the way a host loads it (LoadLibrary, the eleven entry points by
// name) and taken through its life cycle under Wine: a telegram-engine channel and a
// v6 channel on COM5 (a looping pseudo-terminal), started, running, stopped through the
// host's timer within the time the stop may take, and uninstalled.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "check.h"
#include "host/hydrix_host.h"

extern "C" {
__declspec(dllimport) void testHostSetProfile(const char *section, const char *key, const char *value);
__declspec(dllimport) void testHostSetPort(int32_t channel, HANDLE port);
__declspec(dllimport) size_t testHostTrace(char *buffer, size_t size);
__declspec(dllimport) int32_t testHostExtInterface();
}

namespace {

std::string traceSoFar() {
    std::string text(testHostTrace(nullptr, 0) + 1, '\0');
    text.resize(testHostTrace(text.data(), text.size()));
    return text;
}

bool traced(const char *text) { return traceSoFar().find(text) != std::string::npos; }

template <typename Fn>
Fn entry(HMODULE lib, const char *name) {
    const FARPROC p = GetProcAddress(lib, name);
    if (!CHECK(p != nullptr)) std::printf("    missing entry point: %s\n", name);
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(p));
}

}  // namespace

int main() {
    const HMODULE lib = LoadLibraryA("hydrix.dll");
    if (!CHECK(lib != nullptr)) {
        std::printf("cannot load hydrix.dll (error %lu)\n", GetLastError());
        return wincheck::finish();
    }
    const auto install = entry<drvInstall_fn>(lib, "drvInstall");
    const auto uninstall = entry<drvVoid_fn>(lib, "drvUnInstall");
    const auto start = entry<drvVoid_fn>(lib, "drvStart");
    const auto stop = entry<drvVoid_fn>(lib, "drvStop");
    const auto queryState = entry<drvVoid_fn>(lib, "drvQueryState");
    const auto timer = entry<drvVoid_fn>(lib, "drvHndlTimer");
    const auto addChan = entry<drvAddChan_fn>(lib, "drvAddChan");
    const auto initComm = entry<drvInitComm_fn>(lib, "drvInitComm");
    CHECK(entry<preEvent_fn>(lib, "preEvent") != nullptr);
    CHECK(entry<drvChannel_fn>(lib, "postEvent") != nullptr);
    CHECK(entry<drvChannel_fn>(lib, "canDisconnect") != nullptr);
    if (wincheck::counts().failed != 0) return wincheck::finish();

    const HANDLE port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!CHECK(port != INVALID_HANDLE_VALUE)) {
        std::printf("cannot open COM5 (error %lu)\n", GetLastError());
        return wincheck::finish();
    }
    testHostSetPort(1, port);
    testHostSetProfile("Chan0", "Nodes", "1");
    testHostSetProfile("Chan1", "HYDRIXDefault", "0");
    testHostSetProfile("Chan1", "Nodes", "1");

    CHECK(install("Driver") == 1);
    CHECK(testHostExtInterface() == 1);
    CHECK(addChan(0, "Chan0") == 1);
    // A v6 channel without a device name is refused, with an event-log entry.
    CHECK(addChan(1, "Chan1") == 0);
    CHECK(traced("event 0xC2100B55"));
    testHostSetProfile("Chan1", "DeviceName", "COM5");
    CHECK(addChan(1, "Chan1") == 1);
    CHECK(initComm(1, port) == 1);
    CHECK(traced("HYDRIX[1] configComm done"));
    COMMTIMEOUTS t{};
    CHECK(GetCommTimeouts(port, &t) && t.ReadIntervalTimeout == 2000 && t.WriteTotalTimeoutConstant == 200);

    CHECK(start() == 1);
    CHECK(queryState() == DRV_STATE_RUNNING);
    Sleep(300);  // the channels' threads at work, idle: no requests come
    CHECK(stop() == 1);
    CHECK(queryState() == DRV_STATE_STOPPING);
    // The host's timer ends the stop; every thread is gone well within the 10 s a
    // thread that will not stop may cost.
    const DWORD begin = GetTickCount();
    while (queryState() != DRV_STATE_STOPPED && GetTickCount() - begin < 20000) {
        timer();
        Sleep(50);
    }
    CHECK(queryState() == DRV_STATE_STOPPED);
    const DWORD stopMs = GetTickCount() - begin;
    CHECK(stopMs < 12000);
    std::printf("stopped in %lu ms\n", stopMs);
    CHECK(uninstall() == 1);

    CloseHandle(port);
    CHECK(FreeLibrary(lib));
    if (wincheck::counts().failed != 0 || std::getenv("HYDRIX_TEST_TRACE")) std::printf("trace:\n%s", traceSoFar().c_str());
    return wincheck::finish();
}
