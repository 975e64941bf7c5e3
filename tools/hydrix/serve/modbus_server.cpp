#include "modbus_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/poll.h>  // not <poll.h>: tools/hydrix has a poll.h of its own
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace hydrix::serve {
namespace {

constexpr int kHeader = 7;  // MBAP header; the unit id is its last byte

uint16_t word(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// The shortest text that reads back as the same 32-bit float: what the client wrote.
std::string floatText(float v) {
    char buf[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(v));
        if (std::strtof(buf, nullptr) == v) break;
    }
    return buf;
}

struct Mapping {
    modbus_mapping_t *m = nullptr;
    ~Mapping() {
        if (m) modbus_mapping_free(m);
    }
};

}  // namespace

ModbusServer::ModbusServer(const Store &store, Scheduler &scheduler) : store_(store), scheduler_(scheduler) {}

ModbusServer::~ModbusServer() { stop(); }

std::shared_ptr<const RegisterMap> ModbusServer::map() {
    std::lock_guard lock(mutex_);
    return map_;
}

bool ModbusServer::mayWrite(const std::string &peer, std::string *why) {
    std::lock_guard lock(mutex_);
    if (!options_.allowWrites) {
        *why = "AllowWrites is off";
        return false;
    }
    if (std::find(options_.writeClients.begin(), options_.writeClients.end(), peer) == options_.writeClients.end()) {
        *why = "not in WriteClients";
        return false;
    }
    return true;
}

void ModbusServer::update(std::shared_ptr<const RegisterMap> map, const ModbusOptions &options) {
    std::lock_guard lock(mutex_);
    map_ = std::move(map);
    options_.allowWrites = options.allowWrites;
    options_.writeClients = options.writeClients;
}

bool ModbusServer::start(const ModbusOptions &options, std::shared_ptr<const RegisterMap> map, std::string *error) {
    options_ = options;
    map_ = std::move(map);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(options.port));
    if (options.address == "*") {
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, options.address.c_str(), &sa.sin_addr) != 1) {
        *error = "Modbus: '" + options.address + "' is not an IPv4 address";
        return false;
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(listener_, 16) != 0) {
        *error = "Modbus: cannot listen on " + options.address + ":" + std::to_string(options.port) + ": " +
                 std::strerror(errno);
        close(listener_);
        listener_ = -1;
        return false;
    }
    if (pipe2(wakeup_, O_CLOEXEC) != 0) {
        *error = std::string("Modbus: ") + std::strerror(errno);
        close(listener_);
        listener_ = -1;
        return false;
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
    return true;
}

void ModbusServer::stop() {
    if (listener_ < 0) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int fd : clients_) shutdown(fd, SHUT_RDWR);
    }
    const char byte = 1;
    if (write(wakeup_[1], &byte, 1) < 0) { /* the loop also ends on the closed listener */ }
    if (acceptor_.joinable()) acceptor_.join();
    for (Client &c : threads_)
        if (c.thread.joinable()) c.thread.join();
    threads_.clear();
    close(listener_);
    close(wakeup_[0]);
    close(wakeup_[1]);
    listener_ = -1;
}

void ModbusServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeup_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents) break;
        // Threads of clients that left are joined here, so they never pile up.
        for (auto it = threads_.begin(); it != threads_.end();)
            if (it->done->load()) {
                it->thread.join();
                it = threads_.erase(it);
            } else {
                ++it;
            }
        if (!(fds[0].revents & POLLIN)) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = accept4(listener_, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) continue;
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        const std::string who = text;
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(mutex_);
        if (stopping_ || static_cast<int>(clients_.size()) >= options_.maxClients) {
            logLine("modbus: client " + who + " refused (" + std::to_string(clients_.size()) + " connected)");
            close(fd);
            continue;
        }
        clients_.insert(fd);
        auto done = std::make_shared<std::atomic<bool>>(false);
        threads_.push_back({std::thread([this, fd, who, done] {
                                serveClient(fd, who);
                                done->store(true);
                            }),
                            done});
    }
}

void ModbusServer::serveClient(int fd, std::string peer) {
    logLine("modbus: client " + peer + " connected");
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    modbus_set_socket(ctx, fd);
    uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        const int n = modbus_receive(ctx, req);
        if (n < 0) break;  // the client left, or the gateway stops
        if (n <= kHeader) continue;
        const int unitId = req[kHeader - 1];
        const int function = req[kHeader];
        const auto current = map();
        const Unit *unit = current->find(unitId);
        const auto exception = [&](uint8_t code) { modbus_reply_exception(ctx, req, code); };
        if (!unit) {
            exception(kGatewayPath);
            continue;
        }
        if (n < kHeader + 5) {
            exception(kIllegalValue);
            continue;
        }
        const uint32_t address = word(&req[kHeader + 1]);
        const uint32_t count = word(&req[kHeader + 3]);
        if (function == MODBUS_FC_READ_INPUT_REGISTERS || function == MODBUS_FC_READ_HOLDING_REGISTERS) {
            if (count < 1 || count > MODBUS_MAX_READ_REGISTERS) {
                exception(kIllegalValue);
                continue;
            }
            uint16_t regs[MODBUS_MAX_READ_REGISTERS];
            const uint8_t code = readRegisters(*current, store_, unitId, address, count, Clock::now(), regs);
            if (code) {
                exception(code);
                continue;
            }
            Mapping m;
            const bool input = function == MODBUS_FC_READ_INPUT_REGISTERS;
            m.m = modbus_mapping_new_start_address(0, 0, 0, 0, input ? 0 : address, input ? 0 : count,
                                                   input ? address : 0, input ? count : 0);
            if (!m.m) break;
            std::memcpy(input ? m.m->tab_input_registers : m.m->tab_registers, regs, count * sizeof(uint16_t));
            modbus_reply(ctx, req, n, m.m);
            continue;
        }
        const bool isWrite = function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS || function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
                             function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_MULTIPLE_COILS;
        if (!isWrite) {
            exception(kIllegalFunction);
            continue;
        }
        if (std::string why; !mayWrite(peer, &why)) {
            logLine("modbus: write from " + peer + " refused (" + why + ")");
            exception(kIllegalFunction);
            continue;
        }
        if (function == MODBUS_FC_WRITE_SINGLE_COIL) {
            // Coil N-1: machine N; on starts it (M), off stops it (F).
            const uint32_t value = count;  // the coil's value stands where a count would
            if (address > 254 || (value != 0xFF00 && value != 0)) {
                exception(address > 254 ? kIllegalAddress : kIllegalValue);
                continue;
            }
            cli::Query q;
            q.what = cli::What::Command;
            q.target = {unit->channel, unit->node};
            q.letter = value ? 'M' : 'F';
            q.machine = static_cast<int>(address) + 1;
            q.item = 1;
            const WriteResult r = scheduler_.submit(q).get();
            logLine("modbus: " + peer + ": " + r.text);
            if (!r.ok) {
                exception(kGatewayTarget);
                continue;
            }
            Mapping m;
            m.m = modbus_mapping_new_start_address(address, 1, 0, 0, 0, 0, 0, 0);
            if (!m.m) break;
            modbus_reply(ctx, req, n, m.m);
            continue;
        }
        if (function != MODBUS_FC_WRITE_MULTIPLE_REGISTERS) {
            // A setpoint is a float in two registers: one register alone cannot write it.
            exception(setpointAt(*current, unitId, address) ? kIllegalValue
                      : function == MODBUS_FC_WRITE_MULTIPLE_COILS ? kIllegalFunction : kIllegalAddress);
            continue;
        }
        if (count < 2 || count % 2 != 0 || count > MODBUS_MAX_WRITE_REGISTERS || n < kHeader + 6 + 2 * static_cast<int>(count)) {
            exception(kIllegalValue);
            continue;
        }
        std::vector<cli::Query> writes;
        uint8_t refused = 0;
        for (uint32_t i = 0; i < count && !refused; i += 2) {
            auto place = setpointAt(*current, unitId, address + i);
            if (!place) {
                refused = kIllegalAddress;
                break;
            }
            const uint16_t regs[2] = {word(&req[kHeader + 6 + 2 * i]), word(&req[kHeader + 8 + 2 * i])};
            const float v = decodeFloat(regs, current->order);
            if (!std::isfinite(v) || std::fabs(v) > 2147483647.0f) {
                refused = kIllegalValue;
                break;
            }
            cli::Query q;
            q.what = cli::What::WriteSetpoint;
            q.target = {place->channel, place->node};
            q.setpoint = place->setpoint;
            q.valueText = floatText(v);
            q.value = std::strtod(q.valueText.c_str(), nullptr);
            writes.push_back(q);
        }
        if (refused) {
            exception(refused);
            continue;
        }
        bool ok = true;
        for (const cli::Query &q : writes) {
            const WriteResult r = scheduler_.submit(q).get();
            logLine("modbus: " + peer + ": " + r.text);
            if (!(ok = r.ok)) break;
        }
        if (!ok) {
            exception(kGatewayTarget);
            continue;
        }
        Mapping m;
        m.m = modbus_mapping_new_start_address(0, 0, 0, 0, address, count, 0, 0);
        if (!m.m) break;
        modbus_reply(ctx, req, n, m.m);
    }
    {
        std::lock_guard lock(mutex_);
        clients_.erase(fd);
    }
    modbus_close(ctx);  // closes fd
    modbus_free(ctx);
    logLine("modbus: client " + peer + " disconnected");
}

}  // namespace hydrix::serve
