#include "gateway.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "check.h"
#include "gateway/serve_config.h"

int runGateway(char **argv) {
    // The gateway lies beside this program, in the build tree as once installed.
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string self = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string(argv[0]);
    const std::string gateway = self.substr(0, self.rfind('/') + 1) + "hydrix-serve";
    argv[0] = const_cast<char *>(gateway.c_str());
    execv(gateway.c_str(), argv);
    std::fprintf(stderr,
                 "hydrix: serve: cannot run the gateway %s: %s (in a build tree: cmake --build build --target "
                 "hydrix-serve; installed, it comes with the hydrix package)\n",
                 gateway.c_str(), std::strerror(errno));
    return 2;
}

void checkGatewaySection() { hydrix::cli::setServeSectionCheck(hydrix::serve::checkServeSection); }
