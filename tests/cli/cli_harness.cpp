#include "cli_harness.h"

#include <signal.h>

#include <ctime>
#include <sstream>
#include <stdexcept>

namespace clitest {
namespace st = hydrix::station;

std::vector<std::string> Result::lines() const {
    std::vector<std::string> all;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) all.push_back(line);
    return all;
}

std::vector<nlohmann::json> Result::json() const {
    std::vector<nlohmann::json> objects;
    for (const std::string &line : lines())
        if (!line.empty()) objects.push_back(nlohmann::json::parse(line));
    return objects;
}

Child::Child(const std::vector<std::string> &args, const std::string &program)
    : process_(program.empty() ? HYDRIX_BINARY_DIR "/tools/hydrix" : program, args) {}

bool Child::waitForOutput(int timeoutMs) {
    return eventually([&] { return !process_.out().empty(); }, timeoutMs, 20);
}

void Child::interrupt() { process_.signal(SIGINT); }

Result Child::wait(int timeoutMs) {
    Result run;
    run.exitCode = process_.wait(timeoutMs);
    run.out = process_.out();
    run.err = process_.err();
    return run;
}

Result runHydrix(const std::vector<std::string> &args, int timeoutMs) { return Child(args).wait(timeoutMs); }

StationLine::StationLine(bool v6) : v6_(v6) {
    std::string error;
    pty_ = st::Pty::open(&error);
    if (!pty_) throw std::runtime_error(error);
    sim_ = std::make_unique<st::Simulator>(pty_->master(), st::defaultModel());
    setFaults({});
    sim_->start();
    const std::string port = "Port=" + pty_->slavePath() + "\n";
    profile_ = std::make_unique<TempFile>(
        v6 ? "[Driver]\n[Chan1]\nHYDRIXDefault=0\nDeviceName=LINE\nRetries=0\nNodes=7\n" + port
           : "[Driver]\n[Chan0]\nRetries=0\nNodes=12\n" + port + "[Chan0\\Node12]\nPlantNumber=12\n");
}

const std::string &StationLine::profilePath() const { return profile_->path(); }

Result StationLine::run(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--config", profile_->path()});
    return runHydrix(args);
}

void StationLine::setFaults(st::Faults f) {
    f.v6Framing = v6_;
    sim_->setFaults(f);
}

std::string isoOfLocal(const st::LocalTime &t, int second) {
    struct tm local {
        .tm_sec = second, .tm_min = t.minute, .tm_hour = t.hour, .tm_mday = t.day, .tm_mon = t.month - 1,
        .tm_year = t.year - 1900, .tm_wday = 0, .tm_yday = 0, .tm_isdst = -1, .tm_gmtoff = 0, .tm_zone = nullptr
    };
    const time_t secs = mktime(&local);
    struct tm utc {};
    gmtime_r(&secs, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
}

}  // namespace clitest
