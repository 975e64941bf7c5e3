// hydrix.dll under Wine against the station simulator: COM6 is a pseudo-terminal that
// the Linux hydrix-station serves with its built-in plants. A telegram-engine channel
// reads picture 1 of plant 12, and the values are the model's.
#include <cstdlib>

#include "driver_client.h"

namespace {

// Waits (bounded) for the driver to hand a message back on the channel.
HostMsg *waitDone(int32_t channel, DWORD limitMs) {
    const DWORD begin = GetTickCount();
    for (;;) {
        if (HostMsg *m = testHostTakeDone(channel)) return m;
        if (GetTickCount() - begin > limitMs) return nullptr;
        Sleep(20);
    }
}

}  // namespace

int main() {
    Driver drv;
    if (!drv.load()) return wincheck::finish();
    const HANDLE port = openPort("\\\\.\\COM6");
    if (port == INVALID_HANDLE_VALUE) return wincheck::finish();
    testHostSetPort(0, port);
    testHostSetProfile("Chan0", "HYDRIXDefault", "1");
    testHostSetProfile("Chan0", "Nodes", "12");
    testHostSetProfile("Chan0\\Node12", "PlantNumber", "12");

    CHECK(drv.install("Driver") == 1);
    CHECK(drv.addChan(0, "Chan0") == 1);
    CHECK(drv.initComm(0, port) == 1);
    CHECK(drv.start() == 1);

    // Values 0 to 4 of picture 1 (index and length count 16-bit words).
    float values[5] = {-1, -1, -1, -1, -1};
    HostMsg msg{};
    msg.node = 12;
    msg.address = TELEGRAM_ADDRESS(KIND_PICTURE, 1);
    msg.direction = DIR_READ;
    msg.index = 0;
    msg.length = 10;
    msg.data = values;
    testHostPushRequest(0, &msg);
    HostMsg *done = waitDone(0, 20000);
    CHECK(done == &msg);
    CHECK(msg.errGroup == 0 && msg.errCode == 0);
    // The built-in plant 12 shows 1, 2.5, 4, ... on picture 1.
    for (int i = 0; i < 5; ++i) CHECK(values[i] == 1.0f + 1.5f * static_cast<float>(i));
    CHECK(traced("hndlRequestPicture: Got "));

    const DWORD stopMs = drv.stopAll(20000);
    CHECK(stopMs < 2000);
    CHECK(drv.uninstall() == 1);
    CloseHandle(port);
    if (wincheck::counts().failed != 0 || std::getenv("HYDRIX_TEST_TRACE")) std::printf("trace:\n%s", traceSoFar().c_str());
    return wincheck::finish();
}
