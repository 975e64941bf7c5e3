// hydrix-station: plays pump stations at the far end of a serial line, for trying the
// driver end to end without a real station.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sstream>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "station/station.h"

namespace st = hydrix::station;

namespace {

std::atomic<bool> quitRequested{false};

extern "C" void onSignal(int) { quitRequested.store(true, std::memory_order_relaxed); }

void installHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

const char *kCommands =
    "Commands on standard input, one a line:\n"
    "  act N     plant N calls in with ACT\n"
    "  alr N     plant N calls in with its first alarm (ACT when it has none)\n"
    "  ok        send an OK telegram\n"
    "  mrc N     send an MRC frame from plant N\n"
    "  status    print counters and what is left of the alarms\n"
    "  quit      stop\n";

void status(const st::Simulator &sim) {
    const st::Counters c = sim.counters();
    std::printf("requests %d, bad checks %d, ignored %d, ALO %d, BRK %d, OK %d, junk bytes %d\n", c.requests,
                c.badChecks, c.ignored, c.alo, c.brk, c.ok, c.junkBytes);
    for (const auto &p : sim.model().plants)
        std::printf("plant %d: %zu alarm(s) left\n", p.plantNumber, p.alarms.size());
    std::fflush(stdout);
}

// One line of standard input; false when it asks to stop.
bool command(st::Simulator &sim, const std::string &line) {
    std::istringstream in(line);
    std::string word;
    int plant = 0;
    if (!(in >> word)) return true;
    if (word == "quit" || word == "exit") return false;
    if (word == "ok") {
        sim.sendOk();
    } else if (word == "status") {
        status(sim);
    } else if ((word == "act" || word == "alr" || word == "mrc") && (in >> plant)) {
        if (word == "mrc")
            sim.sendMrc(plant);
        else
            sim.sendCallIn(plant, word == "alr");
    } else {
        std::fprintf(stderr, "unknown command \"%s\"\n%s", line.c_str(), kCommands);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{
        "Plays pump-station controllers at the far end of a serial line: answers "
        "the driver's request telegrams from a model of the plants, with faults "
        "on demand."};
    std::string modelPath, device, reply;
    bool usePty = false, verbose = false, noLf = false;
    st::Faults f;
    app.add_option("--model", modelPath,
                   "Plant model (JSON); the built-in plants 12 and 7 "
                   "when absent")
        ->check(CLI::ExistingFile);
    auto *dev = app.add_option("--device", device, "Serial device to serve, e.g. /dev/ttyUSB0");
    app.add_flag("--pty", usePty, "Open a pseudo-terminal and print its path (the default)")->excludes(dev);
    app.add_option("--baud", f.baud,
                   "Pace the line at this speed (bits per second); also the "
                   "device's speed")
        ->check(CLI::Range(0, 4000000));
    app.add_option("--delay", f.delayMs, "Wait this many milliseconds before each reply")->check(CLI::Range(0, 600000));
    app.add_flag("--silent", f.silent, "Read requests, never answer");
    app.add_option("--ok-before", f.okRepliesBefore, "Send N \"OK\" replies before each reply")
        ->check(CLI::Range(0, 100));
    app.add_flag("--dc3", f.dc3InReply, "Put DC3 bytes into every reply");
    app.add_flag("--garbage", f.garbageBeforeStx, "Send junk bytes before every reply");
    app.add_flag("--wrong-bcc", f.wrongBcc, "Send every reply with a wrong block check");
    app.add_option("--reply", reply, "Answer every request with this reply word")
        ->check(CLI::IsMember({"NDA", "SCE", "SCO", "OK", "ALN", "ACT"}));
    app.add_option("--split", f.splitPauseMs,
                   "Send replies in two halves, this many "
                   "milliseconds apart")
        ->check(CLI::Range(0, 60000));
    app.add_option("--gap", f.frameGapMs,
                   "Quiet milliseconds between the frames of one answer "
                   "(default 0; 2500 with --v6 --no-lf)")
        ->check(CLI::Range(0, 60000));
    auto *v6 = app.add_flag("--v6", f.v6Framing, "Frame replies as the v6 engine expects them");
    app.add_flag("--no-lf", noLf, "With --v6: end frames with CR alone")->needs(v6);
    app.add_flag("-v,--verbose", verbose, "Print every telegram received and sent");
    app.footer(std::string("\n") + kCommands +
               "\nExamples:\n"
               "  hydrix-station --pty -v                      built-in plants on a new pty\n"
               "  hydrix-station --model examples/station-model.json --baud 9600\n"
               "  hydrix-station --device /dev/ttyUSB0 --baud 9600 --ok-before 2\n"
               "  hydrix-station --pty --v6 --no-lf --delay 300\n"
               "  hydrix-station --pty --wrong-bcc              every reply fails its check\n");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // Help exits 0; every bad command line exits 2, as the other tools do.
        return app.exit(e) == 0 ? 0 : 2;
    }
    f.forceReply = reply;
    f.v6Lf = !noLf;

    st::Model model;
    if (!modelPath.empty()) {
        std::string error;
        auto loaded = st::loadModel(modelPath, &error);
        if (!loaded) {
            std::fprintf(stderr, "hydrix-station: %s\n", error.c_str());
            return 2;
        }
        model = std::move(*loaded);
    } else {
        model = st::defaultModel();
    }

    std::optional<st::Pty> pty;
    int fd = -1;
    std::string error;
    if (!device.empty()) {
        fd = st::openDevice(device, f.baud, &error);
        if (fd < 0) {
            std::fprintf(stderr, "hydrix-station: %s\n", error.c_str());
            return 1;
        }
    } else {
        pty = st::Pty::open(&error);
        if (!pty) {
            std::fprintf(stderr, "hydrix-station: %s\n", error.c_str());
            return 1;
        }
        fd = pty->master();
    }

    installHandlers();
    st::Simulator sim(fd, std::move(model), !device.empty());
    sim.setFaults(f);
    sim.setKeepTelegrams(false);  // -v prints them as they pass; nothing reads them later
    if (verbose) {
        sim.setTrace([](bool incoming, const std::string &bytes) {
            std::printf("%s %s\n", incoming ? "recv:" : "send:", st::printable(bytes).c_str());
            std::fflush(stdout);
        });
    }
    sim.start();
    if (pty)
        std::printf("pty: %s\n", pty->slavePath().c_str());
    else
        std::printf("device: %s\n", device.c_str());
    std::fflush(stdout);

    bool readStdin = true;
    std::string pending;
    while (!quitRequested.load(std::memory_order_relaxed)) {
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        const int r = ::poll(&pfd, readStdin ? 1 : 0, 200);
        if (r <= 0 || !(pfd.revents & (POLLIN | POLLHUP))) continue;
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            readStdin = false;  // no more commands; keep serving until a signal
            continue;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!command(sim, line)) quitRequested.store(true, std::memory_order_relaxed);
        }
    }
    sim.stop();
    if (verbose) status(sim);
    return 0;
}
