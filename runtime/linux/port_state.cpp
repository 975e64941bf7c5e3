// What the runtime remembers about each open port descriptor: its line settings and the
// time-outs that configComm last set.
#include <mutex>
#include <unordered_map>

#include "runtime/linux/ports.h"

namespace hydrix::rt::detail {
namespace {

struct PortState {
    CommLine line{};
    CommTimeouts timeouts{};
};

struct PortTable {
    std::mutex mutex;
    std::unordered_map<int, PortState> ports;
};

PortTable &table() {
    static PortTable t;
    return t;
}

}  // namespace

void rememberPort(int fd, const CommLine &line, const CommTimeouts &timeouts) {
    PortTable &t = table();
    std::lock_guard lock(t.mutex);
    t.ports[fd] = PortState{line, timeouts};
}

void rememberTimeouts(int fd, const CommTimeouts &timeouts) {
    PortTable &t = table();
    std::lock_guard lock(t.mutex);
    auto [it, added] = t.ports.try_emplace(fd, PortState{defaultLine(), {}});
    it->second.timeouts = timeouts;
}

void rememberLine(int fd, const CommLine &line) {
    PortTable &t = table();
    std::lock_guard lock(t.mutex);
    t.ports[fd].line = line;
}

bool portLine(int fd, CommLine *line) {
    PortTable &t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.ports.find(fd);
    if (it == t.ports.end()) return false;
    *line = it->second.line;
    return true;
}

CommTimeouts portTimeouts(int fd) {
    PortTable &t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.ports.find(fd);
    return it == t.ports.end() ? CommTimeouts{} : it->second.timeouts;
}

void forgetPort(int fd) {
    PortTable &t = table();
    std::lock_guard lock(t.mutex);
    t.ports.erase(fd);
}

}  // namespace hydrix::rt::detail
