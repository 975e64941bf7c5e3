#include "serve_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace servetest {

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

TempOutbox::TempOutbox() : path_(tempPath("hydrix-serve-outbox")) {}
TempOutbox::~TempOutbox() {
    for (const char *end : {"", "-wal", "-shm"}) unlink((path_ + end).c_str());
}

Outcome runHydrix(const std::vector<std::string> &args, int timeoutMs) {
    Process p(HYDRIX_BINARY_DIR "/tools/hydrix", args);
    Outcome r;
    r.exitCode = p.wait(timeoutMs);
    r.out = p.out();
    r.err = p.err();
    return r;
}

Gateway::Gateway(const std::vector<std::string> &args) : process_(HYDRIX_BINARY_DIR "/tools/hydrix", args) {}

bool Gateway::waitForLog(const std::string &text, int timeoutMs) {
    return waitUntil(timeoutMs, [&] { return log().find(text) != std::string::npos; });
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
                       j.at("registers").get<int>(), j.at("item").get<std::string>(),
                       j.at("meaning").get<std::string>()});
    }
    return map;
}

}  // namespace servetest
