// hydrix.dll loaded the way a host loads it (LoadLibrary, the eleven entry points by
// name) and taken through its life cycle under Wine: a telegram-engine channel and a
// v6 channel on COM5 (a looping pseudo-terminal), started, running, stopped through the
// host's timer within the time the stop may take, and uninstalled.
#include <cstdlib>

#include "driver_client.h"

int main() {
    Driver drv;
    if (!drv.load()) return wincheck::finish();
    const HANDLE port = openPort("\\\\.\\COM5");
    if (port == INVALID_HANDLE_VALUE) return wincheck::finish();
    testHostSetPort(1, port);
    testHostSetProfile("Chan0", "Nodes", "1");
    testHostSetProfile("Chan1", "HYDRIXDefault", "0");
    testHostSetProfile("Chan1", "Nodes", "1");

    CHECK(drv.install("Driver") == 1);
    CHECK(testHostExtInterface() == 1);
    CHECK(drv.addChan(0, "Chan0") == 1);
    // A v6 channel without a device name is refused, with an event-log entry.
    CHECK(drv.addChan(1, "Chan1") == 0);
    CHECK(traced("event 0xC2100B55"));
    testHostSetProfile("Chan1", "DeviceName", "COM5");
    CHECK(drv.addChan(1, "Chan1") == 1);
    CHECK(drv.initComm(1, port) == 1);
    CHECK(traced("HYDRIX[1] configComm done"));
    COMMTIMEOUTS t{};
    CHECK(GetCommTimeouts(port, &t) && t.ReadIntervalTimeout == 2000 && t.WriteTotalTimeoutConstant == 200);

    CHECK(drv.start() == 1);
    CHECK(drv.queryState() == DRV_STATE_RUNNING);
    Sleep(300);  // the channels' threads at work, idle: no requests come
    // The host's timer ends the stop within 2 s: the v6 receiver reads only when bytes
    // wait, so no thread is held in a read that waits for its first byte.
    const DWORD stopMs = drv.stopAll(20000);
    CHECK(stopMs < 2000);
    std::printf("stopped in %lu ms\n", stopMs);
    CHECK(drv.uninstall() == 1);

    CloseHandle(port);
    CHECK(FreeLibrary(drv.lib));
    if (wincheck::counts().failed != 0 || std::getenv("HYDRIX_TEST_TRACE")) std::printf("trace:\n%s", traceSoFar().c_str());
    return wincheck::finish();
}
