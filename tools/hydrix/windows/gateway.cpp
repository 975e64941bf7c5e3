// The gateway is a Linux service: its Modbus, MQTT and SQLite libraries are not part of
// the Windows build. On Windows `hydrix serve` says so, and `hydrix check` takes a
// [Serve] section as it is.
#include "gateway.h"

#include <cstdio>

int runGateway(char **) {
    std::fprintf(stderr, "hydrix: serve runs on Linux only; the Windows build has no gateway\n");
    return 2;
}

void checkGatewaySection() {}
