// What the Windows tests that load hydrix.dll share: hydrix.dll loaded through the host
// runtime (hydrix_runtime.dll), which serves it as it serves hydrix.exe; the runtime's
// trace kept for the test; the stop through the host's timer.
#pragma once
#include <windows.h>

#include <cstdio>
#include <string>

#include "check.h"
#include "common/trace_capture.h"
#include "runtime/driver_library.h"
#include "runtime/runtime.h"

namespace rt = hydrix::rt;

struct DriverHost {
    rt::DriverLibrary drv;
    TraceCapture trace;

    // Loads hydrix.dll with every entry point, takes `profile` and opens the port its
    // section `section` names (Port=COMn) as the channel's port, as hydrix.exe does.
    // The port's handle, or COMM_HANDLE_INVALID with the reason printed.
    CommHandle start(const std::string &profile, int channel, const char *section) {
        std::string error;
        if (!CHECK(drv.open("hydrix.dll", &error))) std::printf("    %s\n", error.c_str());
        if (!drv.isOpen() || !CHECK(!rt::loadProfileText(profile))) return COMM_HANDLE_INVALID;
        rt::PortSettings s;
        auto failed = rt::portSettingsFromProfile(section, &s);
        if (!failed) failed = rt::openChannelPort(channel, s);
        if (!CHECK(!failed)) std::printf("    cannot open the port of %s: %s\n", section, failed->c_str());
        return getCommHandle(channel);
    }
    // drvStop, then the host's timer until the driver reports state 0 (at most
    // `limitMs`); the milliseconds it took.
    DWORD stopAll(DWORD limitMs) {
        CHECK(drv.drvStop() == 1);
        const DWORD begin = GetTickCount();
        while (drv.drvQueryState() != DRV_STATE_STOPPED && GetTickCount() - begin < limitMs) {
            drv.drvHndlTimer();
            Sleep(50);
        }
        CHECK(drv.drvQueryState() == DRV_STATE_STOPPED);
        return GetTickCount() - begin;
    }
};
