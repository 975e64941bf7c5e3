// A program a test runs as a site runs it: its output and errors go to files of their own,
// read at any time; one the test leaves running is stopped (SIGTERM, then SIGKILL).
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/spawn.h"
#include "common/temp_path.h"
#include "common/wait.h"

inline std::string readFile(const std::string &path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

class Process {
public:
    Process(const std::string &program, const std::vector<std::string> &args)
        : outPath_(tempPath("hydrix-out")), errPath_(tempPath("hydrix-err")) {
        pid_ = spawnWithFiles(program, args, outPath_, errPath_);
    }
    ~Process() {
        if (pid_ > 0) {
            signal(SIGTERM);
            wait(10000);
        }
        unlink(outPath_.c_str());
        unlink(errPath_.c_str());
    }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    int pid() const { return pid_; }
    std::string out() const { return readFile(outPath_); }
    std::string err() const { return readFile(errPath_); }
    void signal(int sig) const {
        if (pid_ > 0) kill(pid_, sig);
    }
    // Waits for the end; kills it after timeoutMs. The exit code, 128 + the signal that
    // ended it, or -1 when it had to be killed.
    int wait(int timeoutMs) {
        if (pid_ <= 0) return -1;
        int status = 0;
        int code = -1;
        if (eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs, 20)) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return code;
    }

private:
    int pid_ = -1;
    std::string outPath_, errPath_;
};

// A temporary file with the given text; removed on destruction.
class TempFile {
public:
    explicit TempFile(const std::string &text) : path_(tempPath("hydrix-file")) { write(text); }
    ~TempFile() { unlink(path_.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    void write(const std::string &text) const { std::ofstream(path_, std::ios::trunc) << text; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};
