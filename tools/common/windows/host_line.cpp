// Windows: no simulated stations (they serve pseudo-terminals, which Windows has not):
// every channel needs its COM port. Ctrl-C and Ctrl-Break stop the program cleanly.
#include <windows.h>

#include "host.h"

namespace hydrix::cli {

const char *const kSimulateHint = "";
const char *const kPortExample = "COM5";

namespace {

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    stopRequested.store(true, std::memory_order_relaxed);
    return TRUE;
}

}  // namespace

void installSignalHandlers() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

struct Host::Simulated {};

void Host::SimulatedEnd::operator()(Simulated *s) const { delete s; }

bool Host::simulateLine(const ChannelConfig &c, const HostOptions &, Line *, std::string *, std::string *error) {
    *error = "channel " + std::to_string(c.number) + " [" + c.section +
             "]: there are no simulated stations on Windows: give --config with a profile whose channels "
             "name their COM ports (Port=COM5)";
    return false;
}

}  // namespace hydrix::cli
