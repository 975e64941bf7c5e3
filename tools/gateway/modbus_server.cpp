#include "modbus_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/poll.h>  // not <poll.h>: tools/hydrix has a poll.h of its own
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "modbus_frame.h"

namespace hydrix::serve {
namespace {

// A write the station did not take: 0x0B when it did not answer or its line is down (the
// target did not respond), 0x04 when it answered but refused or failed it.
uint8_t writeFailed(cli::Cause cause) { return cli::lineDown(cause) ? kGatewayTarget : kDeviceFailure; }

// The shortest text that reads back as the same 32-bit float: what the client wrote.
std::string floatText(float v) {
    char buf[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(v));
        if (std::strtof(buf, nullptr) == v) break;
    }
    return buf;
}

constexpr uint16_t kCoils = 255;  // coil N-1: machine N, 1 to 255

#ifndef HYDRIX_VERSION
#define HYDRIX_VERSION "0"
#endif
const DeviceIdentity kIdentity{"HYDRIX", "hydrix serve", HYDRIX_VERSION};

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

bool sendAll(int fd, const std::vector<uint8_t> &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

struct ModbusServer::Connection {
    int fd = -1;
    std::string peer;
    std::atomic<int64_t> lastHeard{0};  // steady clock, ns
    std::atomic<bool> busy{false};      // a request is being answered
    std::atomic<bool> done{false};
    std::atomic<bool> dropped{false};  // by the connection limit
    std::thread thread;
};

ModbusServer::ModbusServer(const Store &store, Scheduler &scheduler) : store_(store), scheduler_(scheduler) {}

ModbusServer::~ModbusServer() { stop(); }

std::shared_ptr<const RegisterMap> ModbusServer::map() {
    std::lock_guard lock(mutex_);
    return map_;
}

size_t ModbusServer::clients() {
    std::lock_guard lock(mutex_);
    size_t live = 0;
    for (const auto &c : clients_) live += c->dropped.load() || c->done.load() ? 0 : 1;
    return live;
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
    options_.idleTimeout = options.idleTimeout;
    options_.maxClients = options.maxClients;
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
        for (const auto &c : clients_) shutdown(c->fd, SHUT_RDWR);
    }
    const char byte = 1;
    if (write(wakeup_[1], &byte, 1) < 0) { /* the loop also ends on the closed listener */
    }
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::shared_ptr<Connection>> clients;
    {
        std::lock_guard lock(mutex_);
        clients = clients_;
    }
    for (const auto &c : clients)
        if (c->thread.joinable()) c->thread.join();
    clients_.clear();
    close(listener_);
    close(wakeup_[0]);
    close(wakeup_[1]);
    listener_ = -1;
}

// At the limit: the client idle longest (not one whose request is under way) is dropped.
// False when every client is busy. Under mutex_.
bool ModbusServer::makeRoom() {
    std::shared_ptr<Connection> oldest;
    for (const auto &c : clients_)
        if (!c->busy.load() && !c->dropped.load() && (!oldest || c->lastHeard.load() < oldest->lastHeard.load()))
            oldest = c;
    if (!oldest) return false;
    oldest->dropped.store(true);
    const double idle = static_cast<double>(nowNs() - oldest->lastHeard.load()) / 1e9;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", idle);
    logLine("modbus: " + std::to_string(options_.maxClients) + " clients connected (ModbusMaxClients): client " +
            oldest->peer + " dropped, idle for " + text + " s");
    shutdown(oldest->fd, SHUT_RDWR);
    return true;
}

void ModbusServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeup_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents) {
            // A client's thread ended, or the server stops.
            char byte = 0;
            if (read(wakeup_[0], &byte, 1) < 0) {}
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        std::vector<std::shared_ptr<Connection>> finished;
        {
            // Threads of clients that left are joined here, so they never pile up.
            std::lock_guard lock(mutex_);
            for (auto it = clients_.begin(); it != clients_.end();)
                if ((*it)->done.load()) {
                    finished.push_back(*it);
                    it = clients_.erase(it);
                } else {
                    ++it;
                }
        }
        for (const auto &c : finished) c->thread.join();
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
        size_t live = 0;
        for (const auto &c : clients_) live += c->dropped.load() || c->done.load() ? 0 : 1;
        if (stopping_ || (static_cast<int>(live) >= options_.maxClients && !makeRoom())) {
            logLine("modbus: client " + who + " refused (" + std::to_string(live) + " connected, every one busy)");
            close(fd);
            continue;
        }
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        c->peer = who;
        c->lastHeard.store(nowNs());
        clients_.push_back(c);
        c->thread = std::thread([this, c] {
            serveClient(c);
            c->done.store(true);
            const char byte = 0;  // the acceptor joins the thread
            if (write(wakeup_[1], &byte, 1) < 0) {}
        });
    }
}

void ModbusServer::serveClient(std::shared_ptr<Connection> c) {
    logLine("modbus: client " + c->peer + " connected");
    std::vector<uint8_t> buffer;
    uint8_t chunk[kMaxAdu];
    std::string why;
    for (;;) {
        size_t size = 0;
        const Framing f = frameRequest(buffer.data(), buffer.size(), &size, &why);
        if (f == Framing::Bad) {
            logLine("modbus: client " + c->peer + ": " + why + ": connection closed");
            break;
        }
        if (f == Framing::Complete) {
            c->busy.store(true);
            const std::vector<uint8_t> frame(buffer.begin(), buffer.begin() + static_cast<long>(size));
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(size));
            const bool sent = sendAll(c->fd, answer(frame, c->peer));
            c->busy.store(false);
            if (!sent) break;
            continue;
        }
        double idle = 0;
        {
            std::lock_guard lock(mutex_);
            idle = options_.idleTimeout;
        }
        int waitMs = -1;
        if (idle > 0) {
            const double left = idle - static_cast<double>(nowNs() - c->lastHeard.load()) / 1e9;
            if (left <= 0) {
                logLine("modbus: client " + c->peer + " silent for " + std::to_string(static_cast<int>(idle)) +
                        " s (ModbusIdleTimeout): connection closed");
                break;
            }
            waitMs = static_cast<int>(left * 1000) + 1;
        }
        pollfd p{c->fd, POLLIN, 0};
        const int ready = poll(&p, 1, waitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        if (ready == 0) continue;  // the idle time is checked above
        const ssize_t n = recv(c->fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the client left, or the gateway stops or dropped it
        buffer.insert(buffer.end(), chunk, chunk + n);
        c->lastHeard.store(nowNs());
    }
    close(c->fd);
    logLine("modbus: client " + c->peer + " disconnected");
}

std::vector<uint8_t> ModbusServer::answer(const std::vector<uint8_t> &frame, const std::string &peer) {
    const Request q = splitRequest(frame.data(), frame.size());
    const Decoded d = decodeRequest(q);
    const auto current = map();
    const auto exception = [&](uint8_t code) { return exceptionReply(q, code); };
    if (const auto *r = std::get_if<Refused>(&d)) return exception(r->exception);
    if (const auto *id = std::get_if<ReadDeviceId>(&d)) {
        // The gateway itself answers, whatever the unit.
        const auto pdu = deviceIdPdu(*id, kIdentity);
        return pdu.empty() ? exception(kIllegalAddress) : reply(q, pdu);
    }
    const Unit *unit = current->find(q.unit);
    if (!unit) return exception(kGatewayPath);
    if (const auto *r = std::get_if<ReadRegisters>(&d)) {
        uint16_t regs[125];
        const uint8_t code = readRegisters(*current, store_, q.unit, r->address, r->count, Clock::now(), regs);
        return code ? exception(code) : reply(q, registersPdu(q.function, regs, r->count));
    }
    if (const auto *r = std::get_if<ReadBits>(&d)) {
        if (uint32_t{r->address} + r->count > kCoils) return exception(kIllegalAddress);
        std::vector<bool> bits(r->count, false);
        std::lock_guard lock(mutex_);
        for (uint16_t i = 0; i < r->count; ++i) {
            auto it = coils_.find({q.unit, r->address + i});
            bits[i] = it != coils_.end() && it->second;
        }
        return reply(q, bitsPdu(q.function, bits));
    }
    if (std::string why; !mayWrite(peer, &why)) {
        logLine("modbus: write from " + peer + " refused (" + why + ")");
        return exception(kIllegalFunction);
    }
    const std::vector<uint8_t> echo(frame.begin() + kMbapHeader, frame.begin() + kMbapHeader + 5);
    if (const auto *w = std::get_if<WriteCoil>(&d)) {
        // Coil N-1: machine N; on starts it (M), off stops it (F).
        if (w->address >= kCoils) return exception(kIllegalAddress);
        cli::Query cmd;
        cmd.what = cli::What::Command;
        cmd.target = {unit->channel, unit->node};
        cmd.letter = w->on ? 'M' : 'F';
        cmd.machine = w->address + 1;
        cmd.item = 1;
        const WriteResult r = scheduler_.submit(cmd).get();
        logLine("modbus: " + peer + ": " + r.text);
        if (!r.ok) return exception(writeFailed(r.cause));
        std::lock_guard lock(mutex_);
        coils_[{q.unit, w->address}] = w->on;
        return reply(q, echo);
    }
    if (const auto *w = std::get_if<WriteRegister>(&d))
        // A setpoint is a float in two registers: one register alone cannot write it.
        return exception(setpointAt(*current, q.unit, w->address) ? kIllegalValue : kIllegalAddress);
    if (std::get_if<WriteCoils>(&d)) return exception(kIllegalFunction);  // one machine at a time
    const auto &w = std::get<WriteRegisters>(d);
    if (w.values.size() % 2 != 0) return exception(kIllegalValue);
    std::vector<cli::Query> writes;
    for (size_t i = 0; i < w.values.size(); i += 2) {
        auto place = setpointAt(*current, q.unit, w.address + static_cast<uint32_t>(i));
        if (!place) return exception(kIllegalAddress);
        const uint16_t regs[2] = {w.values[i], w.values[i + 1]};
        // The register holds the value served: the station's number times the tag's scale.
        const float v = static_cast<float>(decodeFloat(regs, current->order) / place->scale);
        if (!std::isfinite(v) || std::fabs(v) > 2147483647.0f) return exception(kIllegalValue);
        cli::Query sp;
        sp.what = cli::What::WriteSetpoint;
        sp.target = {place->channel, place->node};
        sp.setpoint = place->setpoint;
        sp.valueText = floatText(v);
        sp.value = std::strtod(sp.valueText.c_str(), nullptr);
        writes.push_back(sp);
    }
    for (const cli::Query &sp : writes) {
        const WriteResult r = scheduler_.submit(sp).get();
        logLine("modbus: " + peer + ": " + r.text);
        if (!r.ok) return exception(writeFailed(r.cause));
    }
    return reply(q, echo);
}

}  // namespace hydrix::serve
