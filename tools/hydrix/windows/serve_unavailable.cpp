// hydrix serve, the gateway, is a Linux service: its Modbus, MQTT and SQLite libraries
// are not part of the Windows build. On Windows the command says so, and hydrix check
// leaves a [Serve] section to the gateway that reads it.
#include <cstdio>

#include "serve/serve.h"
#include "serve/serve_config.h"

namespace hydrix::serve {

int serveCommand(const cli::Config &, const ServeOptions &) {
    std::fprintf(stderr, "hydrix: serve runs on Linux only; the Windows build has no gateway\n");
    return 2;
}

std::vector<cli::Finding> checkServeSection() { return {}; }

}  // namespace hydrix::serve
