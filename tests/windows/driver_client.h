// What the tests that load hydrix.dll share: the test host's controls, and the
// driver's eleven entry points found by name, as a host finds them.
#pragma once
#include <windows.h>

#include <string>

#include "check.h"
#include "host/hydrix_host.h"

extern "C" {
__declspec(dllimport) void testHostSetProfile(const char *section, const char *key, const char *value);
__declspec(dllimport) void testHostSetPort(int32_t channel, HANDLE port);
__declspec(dllimport) size_t testHostTrace(char *buffer, size_t size);
__declspec(dllimport) int32_t testHostExtInterface();
__declspec(dllimport) void testHostPushRequest(int32_t channel, HostMsg *msg);
__declspec(dllimport) HostMsg *testHostTakeDone(int32_t channel);
}

inline std::string traceSoFar() {
    std::string text(testHostTrace(nullptr, 0) + 1, '\0');
    text.resize(testHostTrace(text.data(), text.size()));
    return text;
}

inline bool traced(const char *text) { return traceSoFar().find(text) != std::string::npos; }

struct Driver {
    HMODULE lib = nullptr;
    drvInstall_fn install = nullptr;
    drvVoid_fn uninstall = nullptr, start = nullptr, stop = nullptr, queryState = nullptr, timer = nullptr;
    drvAddChan_fn addChan = nullptr;
    drvInitComm_fn initComm = nullptr;
    preEvent_fn preEvent = nullptr;
    drvChannel_fn postEvent = nullptr, canDisconnect = nullptr;

    // Loads hydrix.dll and finds every entry point; false (with the reason printed) if not.
    bool load() {
        lib = LoadLibraryA("hydrix.dll");
        if (!CHECK(lib != nullptr)) {
            std::printf("cannot load hydrix.dll (error %lu)\n", GetLastError());
            return false;
        }
        const int before = wincheck::counts().failed;
        find(&install, "drvInstall");
        find(&uninstall, "drvUnInstall");
        find(&start, "drvStart");
        find(&stop, "drvStop");
        find(&queryState, "drvQueryState");
        find(&timer, "drvHndlTimer");
        find(&addChan, "drvAddChan");
        find(&initComm, "drvInitComm");
        find(&preEvent, "preEvent");
        find(&postEvent, "postEvent");
        find(&canDisconnect, "canDisconnect");
        return wincheck::counts().failed == before;
    }

    // drvStop, then the host's timer until the driver reports state 0 (at most
    // `limitMs`); the milliseconds it took.
    DWORD stopAll(DWORD limitMs) {
        CHECK(stop() == 1);
        const DWORD begin = GetTickCount();
        while (queryState() != DRV_STATE_STOPPED && GetTickCount() - begin < limitMs) {
            timer();
            Sleep(50);
        }
        CHECK(queryState() == DRV_STATE_STOPPED);
        return GetTickCount() - begin;
    }

private:
    template <typename Fn>
    void find(Fn *fn, const char *name) {
        const FARPROC p = GetProcAddress(lib, name);
        if (!CHECK(p != nullptr)) std::printf("    missing entry point: %s\n", name);
        *fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(p));
    }
};

// Opens a COM port for the test host (plain, not overlapped); INVALID_HANDLE_VALUE
// with the reason printed on failure.
inline HANDLE openPort(const char *name) {
    const HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!CHECK(port != INVALID_HANDLE_VALUE)) std::printf("cannot open %s (error %lu)\n", name, GetLastError());
    return port;
}
