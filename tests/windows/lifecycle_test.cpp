// hydrix.dll loaded the way a host loads it (LoadLibrary, the eleven entry points by
// name), served by the host runtime and taken through its life cycle under Wine: a
// telegram-engine channel and a v6 channel on COM5 (a looping pseudo-terminal),
// started, running, stopped through the host's timer within the time the stop may take,
// and uninstalled.
#include <cstdlib>

#include "driver_host.h"

int main() {
    DriverHost host;
    const CommHandle port = host.start("[Chan0]\nNodes=1\n[Chan1]\nHYDRIXDefault=0\nNodes=1\nPort=COM5\n", 1, "Chan1");
    if (port == COMM_HANDLE_INVALID) return wincheck::finish();
    rt::DriverLibrary &drv = host.drv;

    CHECK(drv.drvInstall("Driver") == 1);
    CHECK(rt::extInterfaceFlag() == 1);
    CHECK(drv.drvAddChan(0, "Chan0") == 1);
    // A v6 channel without a device name is refused, with an event-log entry.
    CHECK(drv.drvAddChan(1, "Chan1") == 0);
    const auto events = rt::loggedEvents();
    CHECK(!events.empty() && events.back().eventId == 0xC2100B55u && events.back().text == "1");
    CHECK(!rt::loadProfileText("[Chan0]\nNodes=1\n[Chan1]\nHYDRIXDefault=0\nNodes=1\nPort=COM5\nDeviceName=COM5\n"));
    CHECK(drv.drvAddChan(1, "Chan1") == 1);
    CHECK(drv.drvInitComm(1, port) == 1);
    CHECK(host.trace.has("HYDRIX[1] configComm done"));
    COMMTIMEOUTS t{};
    CHECK(GetCommTimeouts(port, &t) && t.ReadIntervalTimeout == 2000 && t.WriteTotalTimeoutConstant == 200);

    CHECK(drv.drvStart() == 1);
    CHECK(drv.drvQueryState() == DRV_STATE_RUNNING);
    Sleep(300);  // the channels' threads at work, idle: no requests come
    // The host's timer ends the stop within 2 s: the v6 receiver reads only when bytes
    // wait, so no thread is held in a read that waits for its first byte.
    const DWORD stopMs = host.stopAll(20000);
    CHECK(stopMs < 2000);
    std::printf("stopped in %lu ms\n", stopMs);
    CHECK(drv.drvUnInstall() == 1);
    rt::closeChannelPort(1);
    drv.close();
    return wincheck::finish();
}
