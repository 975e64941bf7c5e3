// Pseudo-terminal pairs for tests and the station simulator.
//
// The runtime opens the slave side once itself and keeps that descriptor until closePty.
// While no descriptor of the slave is open, the master sees POLLHUP and reads fail with
// EIO; holding one open lets the far end (on the master) start before the driver's side
// has opened the port, and lets the driver close and reopen the port without the master
// seeing a hang-up.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "runtime/linux/ports.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

struct KeptSlaves {
    std::mutex mutex;
    std::unordered_map<int, int> slaveOfMaster;
};

KeptSlaves &kept() {
    static KeptSlaves k;
    return k;
}

bool makeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

std::optional<Pty> openPty(std::string *error) {
    auto fail = [error](const char *what) -> std::optional<Pty> {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        return std::nullopt;
    };
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return fail("posix_openpt");
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        int e = errno;
        ::close(master);
        errno = e;
        return fail("pseudo-terminal set-up");
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0 || !makeRaw(slave) || !makeRaw(master)) {
        int e = errno;
        if (slave >= 0) ::close(slave);
        ::close(master);
        errno = e;
        return fail("pseudo-terminal raw mode");
    }
    {
        KeptSlaves &k = kept();
        std::lock_guard lock(k.mutex);
        // The same master number again means its earlier holder closed the master without
        // closePty: the slave kept for it is stale.
        auto [it, added] = k.slaveOfMaster.try_emplace(master, slave);
        if (!added) {
            ::close(it->second);
            it->second = slave;
        }
    }
    return Pty{master, name};
}

void closePty(Pty &pty) {
    if (pty.master < 0) return;
    int slave = -1;
    {
        KeptSlaves &k = kept();
        std::lock_guard lock(k.mutex);
        auto it = k.slaveOfMaster.find(pty.master);
        if (it != k.slaveOfMaster.end()) {
            slave = it->second;
            k.slaveOfMaster.erase(it);
        }
    }
    if (slave >= 0) ::close(slave);
    ::close(pty.master);
    pty.master = -1;
}

}  // namespace hydrix::rt
