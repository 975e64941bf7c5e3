#include "serve_harness.h"

#include "common/spawn.h"
#include "common/temp_path.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>


namespace servetest {
namespace {

std::string readFile(const std::string &path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

int spawn(const std::vector<std::string> &args, const std::string &out, const std::string &err) {
    return spawnWithFiles(HYDRIX_BINARY_DIR "/tools/hydrix", args, out, err);
}

int reap(int pid, int timeoutMs) {
    int status = 0;
    if (waitUntil(timeoutMs, [&] { return waitpid(pid, &status, WNOHANG) == pid; }))
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

}  // namespace

bool waitUntil(int timeoutMs, const std::function<bool()> &done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > limit) return false;
    }
}

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

TempFile::TempFile(const std::string &text) : path_(tempPath("hydrix-serve-ini")) { write(text); }
TempFile::~TempFile() { unlink(path_.c_str()); }
void TempFile::write(const std::string &text) const { std::ofstream(path_, std::ios::trunc) << text; }

TempOutbox::TempOutbox() : path_(tempPath("hydrix-serve-outbox")) {}
TempOutbox::~TempOutbox() {
    for (const char *end : {"", "-wal", "-shm"}) unlink((path_ + end).c_str());
}

Outcome runHydrix(const std::vector<std::string> &args, int timeoutMs) {
    const std::string out = tempPath("hydrix-serve-out"), err = tempPath("hydrix-serve-err");
    Outcome r;
    const int pid = spawn(args, out, err);
    if (pid > 0) r.exitCode = reap(pid, timeoutMs);
    r.out = readFile(out);
    r.err = readFile(err);
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

Gateway::Gateway(const std::vector<std::string> &args)
    : outPath_(tempPath("hydrix-serve-out")), errPath_(tempPath("hydrix-serve-err")) {
    pid_ = spawn(args, outPath_, errPath_);
}

Gateway::~Gateway() {
    if (pid_ > 0) {
        signal(SIGTERM);
        wait(10000);
    }
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

bool Gateway::waitForLog(const std::string &text, int timeoutMs) {
    return waitUntil(timeoutMs, [&] { return log().find(text) != std::string::npos; });
}

std::string Gateway::log() const { return readFile(errPath_); }

void Gateway::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

int Gateway::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    const int code = reap(pid_, timeoutMs);
    pid_ = -1;
    return code;
}

Client::Client(int port, int unit) {
    ctx_ = modbus_new_tcp("127.0.0.1", port);
    modbus_set_slave(ctx_, unit);
    modbus_set_response_timeout(ctx_, 10, 0);  // a write waits for the station
    connected_ = modbus_connect(ctx_) == 0;
}

Client::~Client() {
    modbus_close(ctx_);
    modbus_free(ctx_);
}

bool Client::read(int address, int count, std::vector<uint16_t> *out, int *error) {
    out->assign(static_cast<size_t>(count), 0);
    const int n = modbus_read_input_registers(ctx_, address, count, out->data());
    if (error) *error = n == count ? 0 : errno;
    return n == count;
}

std::vector<MapEntry> printedMap(const std::vector<std::string> &configArgs) {
    std::vector<std::string> args = configArgs;
    args.insert(args.end(), {"--json", "serve", "--print-map"});
    const Outcome r = runHydrix(args);
    if (r.exitCode != 0) throw std::runtime_error("--print-map failed: " + r.err);
    std::vector<MapEntry> map;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        const auto j = nlohmann::json::parse(line);
        map.push_back({j.at("unit").get<int>(), j.at("node").get<int>(), j.at("address").get<int>(),
                       j.at("registers").get<int>(), j.at("item").get<std::string>(), j.at("meaning").get<std::string>()});
    }
    return map;
}

}  // namespace servetest
