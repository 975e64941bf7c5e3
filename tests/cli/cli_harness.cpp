#include "cli_harness.h"

#include "common/spawn.h"
#include "common/temp_path.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>


namespace clitest {
namespace st = hydrix::station;

namespace {

// Checks `done` every 20 ms until it holds or `timeoutMs` have passed.
template <typename Done>
bool waitUntil(int timeoutMs, Done done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > limit) return false;
    }
}

}  // namespace

std::string readFile(const std::string &path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

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

Child::Child(const std::vector<std::string> &args, const std::string &programPath)
    : outPath_(tempPath("hydrix-out")), errPath_(tempPath("hydrix-err")) {
    const std::string program = programPath.empty() ? HYDRIX_BINARY_DIR "/tools/hydrix" : programPath;
    const int pid = spawnWithFiles(program, args, outPath_, errPath_);
    if (pid > 0) pid_ = pid;
}

Child::~Child() {
    if (pid_ > 0) wait(0);
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

bool Child::waitForOutput(int timeoutMs) {
    return waitUntil(timeoutMs, [&] { return !readFile(outPath_).empty(); });
}

void Child::interrupt() {
    if (pid_ > 0) kill(pid_, SIGINT);
}

Result Child::wait(int timeoutMs) {
    Result run;
    if (pid_ > 0) {
        int status = 0;
        if (waitUntil(timeoutMs, [&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) {
            run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    run.out = readFile(outPath_);
    run.err = readFile(errPath_);
    return run;
}

Result runHydrix(const std::vector<std::string> &args, int timeoutMs) {
    return Child(args).wait(timeoutMs);
}

TempFile::TempFile(const std::string &text) : path_(tempPath("hydrix-ini")) {
    std::ofstream(path_) << text;
}

TempFile::~TempFile() { unlink(path_.c_str()); }

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
