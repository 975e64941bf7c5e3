// Hosts the driver: loads libhydrix.so (hydrix.dll) through its public entry points, opens
// each channel's port (or, on Linux, a pseudo-terminal with a simulated station), starts
// the driver and stops it again. What depends on the system is in linux/ and windows/.
// Also keeps, per channel, the telegrams the channel's line carried while a request ran
// (from the runtime's line tap), from which the tool learns what a station answered when
// the driver reports no value. Each channel's record is its own, so requests on
// different channels may run at once.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "frames.h"
#include "runtime/driver_library.h"

namespace hydrix::cli {

struct HostOptions {
    std::string library;    // path of libhydrix.so (hydrix.dll)
    bool simulate = false;  // serve channels without a Port from the simulator
    std::string model;      // plant model of simulated stations (JSON); built-in if empty
    bool verbose = false;   // trace lines on stderr
    std::string traceFile;  // trace lines to this file
};

// A port name for messages (/dev/ttyUSB0, COM5), and what else serves a channel
// without one (", or run with --simulate"; nothing on Windows).
extern const char *const kPortExample;
extern const char *const kSimulateHint;

// Set by SIGINT/SIGTERM (Ctrl-C); every wait of the program watches it.
extern std::atomic<bool> stopRequested;
void installSignalHandlers();
// The driver library: beside the program once installed (lib/<arch>/hydrix next to
// bin/), else where the build put it.
std::string defaultDriverLibrary();

class Host {
public:
    Host() = default;
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Starts the driver with the given channels of the profile. On failure returns false
    // with one line in *error and leaves nothing running.
    bool start(const Config &config, const std::vector<int> &channels, const HostOptions &options, std::string *error);
    // drvStop, then drvHndlTimer until the driver has stopped; closes the ports. False
    // when the driver did not reach the stopped state in time.
    bool stop();

    // A channel's telegrams since its last mark (the capture runs all the time).
    void markTelegrams(int channel);
    struct Telegrams {
        std::vector<std::string> received, sent;  // whole frames, lead byte to CR
    };
    Telegrams telegramsSinceMark(int channel);

private:
    // A simulated station serving a channel's line (Linux only; host_line.cpp).
    struct Simulated;
    struct SimulatedEnd {
        void operator()(Simulated *s) const;  // stops the station and frees its line
    };
    struct Line {
        int channel = -1;
        std::unique_ptr<Simulated, SimulatedEnd> simulated;
        bool opened = false;
    };
    // Serves a channel without a Port from a simulated station: the device to open goes
    // to *device. False with *error where there are none.
    bool simulateLine(const ChannelConfig &c, const HostOptions &options, Line *line, std::string *device,
                      std::string *error);
    // A channel's line as its tap sees it.
    struct Tapped {
        FrameAssembler in, out;
        Telegrams telegrams;
    };
    void tapLine(int channel);
    bool openLine(const ChannelConfig &c, const HostOptions &options, std::string *error);
    void closeLines();

    rt::DriverLibrary driver_;
    std::vector<Line> lines_;
    bool started_ = false;
    std::mutex tapMutex_;
    Tapped tapped_[HYDRIX_CHANNELS];
};

}  // namespace hydrix::cli
