// The station's end of the line: a pseudo-terminal pair or a real serial device.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "station/pty.h"

namespace hydrix::station {

namespace {

bool makeRaw(int fd, speed_t speed) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (speed != B0) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

speed_t speedOf(int baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 0:
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

std::string osError(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

Pty::Pty(Pty &&o) noexcept : master_(o.master_), slave_(o.slave_), slavePath_(std::move(o.slavePath_)) {
    o.master_ = o.slave_ = -1;
}

Pty &Pty::operator=(Pty &&o) noexcept {
    if (this != &o) {
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
        master_ = o.master_;
        slave_ = o.slave_;
        slavePath_ = std::move(o.slavePath_);
        o.master_ = o.slave_ = -1;
    }
    return *this;
}

Pty::~Pty() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
}

std::optional<Pty> Pty::open(std::string *error) {
    Pty p;
    p.master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.master_ < 0) {
        if (error) *error = osError("posix_openpt");
        return std::nullopt;
    }
    char name[128];
    if (grantpt(p.master_) != 0 || unlockpt(p.master_) != 0 || ptsname_r(p.master_, name, sizeof name) != 0) {
        if (error) *error = osError("pseudo-terminal setup");
        return std::nullopt;
    }
    p.slavePath_ = name;
    p.slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.slave_ < 0) {
        if (error) *error = osError(name);
        return std::nullopt;
    }
    if (!makeRaw(p.slave_, B9600) || !makeRaw(p.master_, B0)) {
        if (error) *error = osError("raw mode");
        return std::nullopt;
    }
    const int flags = fcntl(p.master_, F_GETFL);
    fcntl(p.master_, F_SETFL, flags | O_NONBLOCK);
    return p;
}

int openDevice(const std::string &path, int baud, std::string *error) {
    const speed_t speed = speedOf(baud);
    if (speed == B0) {
        if (error) *error = "unsupported speed " + std::to_string(baud);
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (error) {
            *error = path + ": " + std::strerror(errno);
            if (errno == EACCES)
                *error += " (is the user in the dialout group?)";
            else if (errno == EBUSY)
                *error += " (another program has it open)";
        }
        return -1;
    }
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        if (error) *error = path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!makeRaw(fd, speed)) {
        if (error) *error = path + ": not a terminal: " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace hydrix::station
