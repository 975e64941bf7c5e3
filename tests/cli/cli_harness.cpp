#include "cli_harness.h"

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

extern char **environ;

namespace clitest {
namespace st = hydrix::station;

namespace {

std::string readAll(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string tempPath(const char *stem) {
    std::string path = std::string("/tmp/") + stem + "-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    return path;
}

}  // namespace

std::vector<nlohmann::json> Result::json() const {
    std::vector<nlohmann::json> objects;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) objects.push_back(nlohmann::json::parse(line));
    return objects;
}

Result runHydrix(const std::vector<std::string> &args, int timeoutMs) {
    const std::string program = HYDRIX_BINARY_DIR "/tools/hydrix";
    const std::string outPath = tempPath("hydrix-out"), errPath = tempPath("hydrix-err");
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    Result run;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        for (;;) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > limit) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = readAll(outPath);
    run.err = readAll(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return run;
}

TempFile::TempFile(const std::string &text) : path_(tempPath("hydrix-ini")) {
    std::ofstream(path_) << text;
}

TempFile::~TempFile() { unlink(path_.c_str()); }

StationLine::StationLine(bool v6) : v6_(v6) {
    std::string error;
    pty_ = st::Pty::open(&error);
    if (!pty_) throw std::runtime_error(error);
    sim_ = std::make_unique<st::Simulator>(pty_->master(), st::defaultModel(v6));
    setFaults({});
    sim_->start();
    const std::string port = "Port=" + pty_->slavePath() + "\n";
    profile_ = std::make_unique<TempFile>(
        v6 ? "[Driver]\n[Chan1]\nHYDRIXDefault=0\nDeviceName=LINE\nRetries=0\nNodes=7\n" + port
           : "[Driver]\n[Chan0]\nRetries=0\nNodes=12\n" + port + "[Chan0\\Node12]\nPlantNumber=12\n");
}

StationLine::~StationLine() { sim_->stop(); }

void StationLine::setFaults(st::Faults f) {
    f.v6Framing = v6_;
    sim_->setFaults(f);
}

std::string isoOfLocal(const st::LocalTime &t, int second) {
    struct tm tm {};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const time_t secs = mktime(&tm);
    struct tm utc {};
    gmtime_r(&secs, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
}

}  // namespace clitest
