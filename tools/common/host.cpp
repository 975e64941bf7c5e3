#include "host.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace hydrix::cli {

std::atomic<bool> stopRequested{false};

namespace {

constexpr int kPoolMessages = 64;
constexpr int kValueAreaBytes = 2048;
constexpr size_t kFramesKept = 4000;  // telegrams each way of one request; a longer one keeps its tail

void keep(std::vector<std::string> *frames, std::vector<std::string> *added) {
    for (std::string &f : *added) {
        if (frames->size() >= kFramesKept) frames->erase(frames->begin(), frames->begin() + kFramesKept / 2);
        frames->push_back(std::move(f));
    }
}

}  // namespace

Host::~Host() { stop(); }

bool Host::openLine(const ChannelConfig &c, const HostOptions &options, std::string *error) {
    Line line;
    line.channel = c.number;
    rt::PortSettings port = c.port;
    if (port.device.empty()) {
        if (!options.simulate) {
            *error = "channel " + std::to_string(c.number) + " has no Port key: add Port=" + kPortExample +
                     " (or your device) to [" + c.section + "]" + kSimulateHint;
            return false;
        }
        if (!simulateLine(c, options, &line, &port.device, error)) return false;
    }
    if (auto err = rt::openChannelPort(c.number, port)) {
        *error = "channel " + std::to_string(c.number) + ": cannot open the port: " + *err;
        lines_.push_back(std::move(line));
        return false;
    }
    line.opened = true;
    lines_.push_back(std::move(line));
    return true;
}

bool Host::start(const Config &config, const std::vector<int> &channels, const HostOptions &options,
                 std::string *error) {
    rt::setSyslog(false);
    if (!options.traceFile.empty()) {
        if (!rt::setTracePath(options.traceFile, error)) {
            *error = "cannot write the trace file: " + *error;
            return false;
        }
    } else if (!options.verbose) {
        rt::setTraceFile(nullptr);
    }
    // The trace is for people (stderr, the trace file): the tools learn what happened on
    // the line from the error triples and the telegrams the tap captures, never from it.
    if (options.verbose && !options.traceFile.empty())
        rt::setTraceSink([](const std::string &line) { std::fprintf(stderr, "%s\n", line.c_str()); });

    if (!driver_.open(options.library, error)) {
        if (error->rfind("cannot load", 0) != 0) *error = "cannot load the driver library: " + *error;
        return false;
    }
    for (int number : channels) {
        const ChannelConfig *c = config.channel(number);
        if (!c) {
            *error = "unknown channel " + std::to_string(number);
            closeLines();
            return false;
        }
        if (!openLine(*c, options, error)) {
            closeLines();
            return false;
        }
        rt::configurePool(number, kPoolMessages, kValueAreaBytes);
    }
    driver_.drvInstall(kDriverSection);
    for (int number : channels) {
        const ChannelConfig *c = config.channel(number);
        if (!driver_.drvAddChan(number, c->section.c_str())) {
            *error = "the driver refused channel " + std::to_string(number) + " ([" + c->section + "])";
            driver_.drvUnInstall();
            closeLines();
            return false;
        }
        if (!driver_.drvInitComm(static_cast<uint32_t>(number), getCommHandle(number))) {
            *error = "the driver could not configure the port of channel " + std::to_string(number);
            driver_.drvUnInstall();
            closeLines();
            return false;
        }
    }
    for (int number : channels) tapLine(number);
    driver_.drvStart();
    started_ = true;
    return true;
}

void Host::tapLine(int channel) {
    if (channel < 0 || channel >= HYDRIX_CHANNELS) return;
    rt::setLineTap(channel, [this, channel](rt::Direction d, const uint8_t *bytes, size_t count) {
        std::vector<std::string> frames;
        std::lock_guard lock(tapMutex_);
        Tapped &t = tapped_[channel];
        const bool in = d == rt::Direction::Read;
        (in ? t.in : t.out).add(bytes, count, &frames);
        keep(in ? &t.telegrams.received : &t.telegrams.sent, &frames);
    });
}

bool Host::stop() {
    bool stopped = true;
    if (started_) {
        driver_.drvStop();
        // The driver finishes its stop on the host's timer; v6 channels need a few ticks.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (driver_.drvQueryState() != DRV_STATE_STOPPED && std::chrono::steady_clock::now() < limit) {
            driver_.drvHndlTimer();
            if (driver_.drvQueryState() == DRV_STATE_STOPPED) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stopped = driver_.drvQueryState() == DRV_STATE_STOPPED;
        driver_.drvUnInstall();
        started_ = false;
    }
    closeLines();
    rt::setTraceSink({});
    return stopped;
}

void Host::closeLines() {
    for (Line &l : lines_) {
        rt::setLineTap(l.channel, {});
        l.simulated.reset();
        if (l.opened) rt::closeChannelPort(l.channel);
    }
    lines_.clear();
    rt::resetQueues();
}

void Host::markTelegrams(int channel) {
    if (channel < 0 || channel >= HYDRIX_CHANNELS) return;
    std::lock_guard lock(tapMutex_);
    tapped_[channel].telegrams = {};
}

Host::Telegrams Host::telegramsSinceMark(int channel) {
    std::lock_guard lock(tapMutex_);
    return channel >= 0 && channel < HYDRIX_CHANNELS ? tapped_[channel].telegrams : Telegrams{};
}

std::string defaultDriverLibrary() {
#ifdef HYDRIX_INSTALL_LIBDIR
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string path(exe, static_cast<size_t>(n));
        path = path.substr(0, path.rfind('/')) + "/../" HYDRIX_INSTALL_LIBDIR "/libhydrix.so";
        if (access(path.c_str(), R_OK) == 0) return path;
    }
#endif
    return HYDRIX_LIBRARY_PATH;
}

}  // namespace hydrix::cli
