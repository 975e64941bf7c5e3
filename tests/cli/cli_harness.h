// Runs the hydrix program as a separate process and serves it a simulated station on a
// pseudo-terminal from inside the test.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/process.h"
#include "station/station.h"

namespace clitest {

struct Result {
    int exitCode = -1;  // -1: killed after the time limit
    std::string out, err;
    std::vector<std::string> lines() const;    // stdout, line by line
    std::vector<nlohmann::json> json() const;  // stdout as JSON lines (one object per line)
};

Result runHydrix(const std::vector<std::string> &args, int timeoutMs = 40000);

// The program running in the background, for tests that signal it.
class Child {
public:
    // Runs `program` (default: hydrix) with `args`.
    explicit Child(const std::vector<std::string> &args, const std::string &program = {});
    bool waitForOutput(int timeoutMs);  // true once something is on stdout
    void interrupt();                   // SIGINT, as Ctrl-C sends it
    Result wait(int timeoutMs);         // kills it when the time runs out
private:
    Process process_;
};

using ::TempFile;

// A station simulator on a pty and a profile that points one channel at it: channel 0
// (telegram engine, node 12 = plant 12) or channel 1 (v6 engine, node 7), Retries=0.
class StationLine {
public:
    explicit StationLine(bool v6);
    hydrix::station::Simulator &sim() { return *sim_; }
    std::string node() const { return v6_ ? "7" : "12"; }
    int plant() const { return v6_ ? 7 : 12; }
    const std::string &profilePath() const;
    // Runs hydrix with this line's profile and then `args`.
    Result run(std::vector<std::string> args) const;
    void setFaults(hydrix::station::Faults f);  // keeps the framing of the engine
private:
    bool v6_;
    std::optional<hydrix::station::Pty> pty_;
    std::unique_ptr<hydrix::station::Simulator> sim_;
    std::unique_ptr<TempFile> profile_;
};

using ::readFile;

// UTC ISO text of a station-local time.
std::string isoOfLocal(const hydrix::station::LocalTime &t, int second = 0);

}  // namespace clitest
