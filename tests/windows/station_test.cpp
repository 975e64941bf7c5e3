// hydrix.dll under Wine, served by the host runtime, against the station simulator: COM6
// is a pseudo-terminal that the Linux hydrix-station serves with its built-in plants. A
// telegram-engine channel reads picture 1 of plant 12, and the values are the model's.
#include <cstdlib>

#include "driver_host.h"

int main() {
    DriverHost host;
    const CommHandle port =
        host.start("[Chan0]\nHYDRIXDefault=1\nNodes=12\nPort=COM6\n[Chan0\\Node12]\nPlantNumber=12\n", 0, "Chan0");
    if (port == COMM_HANDLE_INVALID) return wincheck::finish();
    rt::DriverLibrary &drv = host.drv;

    CHECK(drv.drvInstall("Driver") == 1);
    CHECK(drv.drvAddChan(0, "Chan0") == 1);
    CHECK(drv.drvInitComm(0, port) == 1);
    CHECK(drv.drvStart() == 1);

    // Values 0 to 4 of picture 1 (index and length count 16-bit words).
    HostMsg *msg = getMsgFromPool(0);
    if (!CHECK(msg != nullptr)) return wincheck::finish();
    *msg = HostMsg{0, 12, TELEGRAM_ADDRESS(KIND_PICTURE, 1), 0, DIR_READ, 10, 0, 0, 0, 0, 0, 0, msg->data};
    putMsgToSapOq(0, msg);
    HostMsg *done = rt::waitInputQueue(0, 20000);
    CHECK(done == msg);
    if (done != nullptr) {
        CHECK(done->errGroup == 0 && done->errCode == 0);
        // The built-in plant 12 shows 1, 2.5, 4, ... on picture 1.
        const auto *values = static_cast<const float *>(done->data);
        for (int i = 0; i < 5; ++i) CHECK(values[i] == 1.0f + 1.5f * static_cast<float>(i));
        putMsgToPool(0, done);
    }
    CHECK(host.trace.mentions("hndlRequestPicture: Got "));

    const DWORD stopMs = host.stopAll(20000);
    CHECK(stopMs < 2000);
    CHECK(drv.drvUnInstall() == 1);
    rt::closeChannelPort(0);
    drv.close();
    return wincheck::finish();
}
