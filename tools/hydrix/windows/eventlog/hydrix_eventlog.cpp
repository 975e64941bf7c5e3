// hydrix-eventlog: registers the Windows event log source "hydrix", so that Event Viewer
// finds the texts of its entries in hydrix_runtime.dll, or removes the registration.
//   hydrix-eventlog install [MESSAGE_FILE]   (default: the hydrix_runtime.dll beside it)
//   hydrix-eventlog uninstall
// Both need an administrator. Exit 0 done, 1 failed, 2 bad command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/windows/event_source.h"

int main(int argc, char **argv) {
    const char *command = argc >= 2 ? argv[1] : "";
    std::string error;
    if (std::strcmp(command, "install") == 0 && argc <= 3) {
        const std::string file = argc == 3 ? argv[2] : hydrix::rt::runtimeLibraryPath();
        error = hydrix::rt::installEventSource(file);
        if (error.empty()) std::printf("event log source \"hydrix\" registered, messages from %s\n", file.c_str());
    } else if (std::strcmp(command, "uninstall") == 0 && argc == 2) {
        error = hydrix::rt::uninstallEventSource();
        if (error.empty()) std::printf("event log source \"hydrix\" removed\n");
    } else {
        std::fprintf(stderr, "usage: hydrix-eventlog install [MESSAGE_FILE] | uninstall\n");
        return 2;
    }
    if (error.empty()) return 0;
    std::fprintf(stderr, "hydrix-eventlog: %s\n", error.c_str());
    return 1;
}
