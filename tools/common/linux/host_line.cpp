// Linux: simulated stations on pseudo-terminals, and the signals that stop the program.
#include <csignal>

#include "host.h"
#include "station/station.h"

namespace hydrix::cli {

const char *const kSimulateHint = ", or run with --simulate";
const char *const kPortExample = "/dev/ttyUSB0";

namespace {

extern "C" void onStopSignal(int) { stopRequested.store(true, std::memory_order_relaxed); }

}  // namespace

void installSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

struct Host::Simulated {
    std::unique_ptr<station::Pty> pty;
    std::unique_ptr<station::Simulator> station;
};

void Host::SimulatedEnd::operator()(Simulated *s) const {
    if (s->station) s->station->stop();
    delete s;
}

bool Host::simulateLine(const ChannelConfig &c, const HostOptions &options, Line *line, std::string *device,
                        std::string *error) {
    station::Model model;
    if (!options.model.empty()) {
        auto loaded = station::loadModel(options.model, error);
        if (!loaded) return false;
        model = std::move(*loaded);
    } else {
        model = station::defaultModel();
    }
    auto pty = station::Pty::open(error);
    if (!pty) {
        *error = "cannot make a pseudo-terminal: " + *error;
        return false;
    }
    line->simulated.reset(new Simulated);
    Simulated &sim = *line->simulated;
    sim.pty = std::make_unique<station::Pty>(std::move(*pty));
    *device = sim.pty->slavePath();
    sim.station = std::make_unique<station::Simulator>(sim.pty->master(), std::move(model));
    sim.station->setKeepTelegrams(false);  // nobody reads them here; a poll runs for days
    station::Faults faults;
    faults.v6Framing = c.engine == Engine::V6;
    sim.station->setFaults(faults);
    sim.station->start();
    return true;
}

}  // namespace hydrix::cli
