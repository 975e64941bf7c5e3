// Opening ttys and applying line settings with termios.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "runtime/linux/ports.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

struct Speed {
    uint32_t rate;
    speed_t code;
};
constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

void setError(std::string *error, const std::string &text) {
    if (error) *error = text;
}

// Raises or drops a modem control line (DTR, RTS). Pseudo-terminals and some adapters
// have none: ENOTTY and EINVAL there are not failures.
void setModemLine(int fd, int bit, const char *name, bool on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) != 0 && errno != ENOTTY && errno != EINVAL)
        detail::tracef("tty %d: cannot %s %s: %s", fd, on ? "raise" : "drop", name, std::strerror(errno));
}

bool speedCode(uint32_t rate, speed_t *code) {
    for (const Speed &s : kSpeeds)
        if (s.rate == rate) {
            *code = s.code;
            return true;
        }
    return false;
}

// A pseudo-terminal has no character framing. Some kernels keep its character size and
// parity fixed at 8 bits, no parity, and refuse other values with EINVAL; for a pty the
// request is then applied with those two left as they are.
bool retryAsPty(int fd, termios *tio) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned devMajor = major(st.st_rdev);
    if (devMajor < 136 || devMajor > 143) return false;  // Unix98 pty slaves
    tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR);
    tio->c_cflag |= CS8;
    return tcsetattr(fd, TCSANOW, tio) == 0;
}

}  // namespace

bool applyLine(int fd, const CommLine &line, std::string *error) {
    speed_t speed{};
    if (!speedCode(line.baudRate, &speed)) {
        setError(error, "unsupported baud rate " + std::to_string(line.baudRate));
        return false;
    }
    if (line.byteSize < 5 || line.byteSize > 8) {
        setError(error, "data bits must be 5 to 8, not " + std::to_string(line.byteSize));
        return false;
    }
    if (line.parity > 4 || line.stopBits > 2) {
        setError(error, "bad parity or stop bits setting");
        return false;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        setError(error, std::string("not a usable tty: ") + std::strerror(errno));
        return false;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= sizes[line.byteSize - 5] | CLOCAL | CREAD;
    switch (line.parity) {
    case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        tio.c_cflag |= PARENB;
        break;
    case 3:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;  // mark
    case 4:
        tio.c_cflag |= PARENB | CMSPAR;
        break;  // space
    default:
        break;
    }
    // One and a half stop bits exist only with 5 data bits, where CSTOPB gives them.
    if (line.stopBits != 0) tio.c_cflag |= CSTOPB;
    if (line.rtsControl == 2) tio.c_cflag |= CRTSCTS;
    // Reads never block in the driver: readComm waits with poll.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0 && !(errno == EINVAL && retryAsPty(fd, &tio))) {
        setError(error, std::string("cannot set the line: ") + std::strerror(errno));
        return false;
    }
    // DTR stays raised while the port is open when enabled or in handshake mode; RTS is
    // raised when enabled (in handshake mode the kernel's hardware flow control moves it).
    setModemLine(fd, TIOCM_DTR, "DTR", line.dtrControl != DTR_CONTROL_DISABLE);
    if (line.rtsControl != 2) setModemLine(fd, TIOCM_RTS, "RTS", line.rtsControl != 0);
    detail::rememberLine(fd, line);
    return true;
}

namespace {

// The process holding an advisory lock on the file `st` names, from /proc/locks, whose
// lines read "1: FLOCK  ADVISORY  WRITE 4711 00:18:3 0 EOF" (pid, then the major and
// minor device number of the file system in hexadecimal and the inode). Lines of
// processes waiting for a lock carry "->" and are passed over. 0 when none is found.
pid_t flockHolder(const struct stat &st) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos) continue;
        std::istringstream in(line);
        std::string ordinal, kind, mode, access, file;
        long pid = 0;
        if (!(in >> ordinal >> kind >> mode >> access >> pid >> file)) continue;
        if (kind != "FLOCK" && kind != "OFDLCK" && kind != "POSIX") continue;
        unsigned devMajor = 0, devMinor = 0;
        unsigned long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%lu", &devMajor, &devMinor, &inode) != 3) continue;
        if (devMajor == major(st.st_dev) && devMinor == minor(st.st_dev) && inode == st.st_ino && pid > 0)
            return static_cast<pid_t>(pid);
    }
    return 0;
}

// A process that has the character device `rdev` open, from /proc/<pid>/fd, for holders
// that took no lock (other programs that only set exclusive mode). Only the processes
// this one may look into are seen. 0 when none is found.
pid_t openerOf(dev_t rdev) {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return 0;
    pid_t found = 0;
    while (found == 0) {
        const dirent *entry = readdir(proc);
        if (entry == nullptr) break;
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR *fds = opendir(fdDir.c_str());
        if (fds == nullptr) continue;
        while (const dirent *fd = readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            struct stat st {};
            if (stat((fdDir + "/" + fd->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
                found = static_cast<pid_t>(pid);
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

std::string busyMessage(const std::string &path) {
    struct stat st {};
    pid_t holder = 0;
    if (stat(path.c_str(), &st) == 0) {
        holder = flockHolder(st);
        if (holder == 0 && S_ISCHR(st.st_mode)) holder = openerOf(st.st_rdev);
    }
    if (holder != 0) return path + ": port busy (in use by process " + std::to_string(holder) + ")";
    return path + ": port busy (in use by another program)";
}

// Why a device could not be opened, in words that tell what to check. Each errno says
// its own thing: /dev/tty exists, but opening it fails with ENXIO in a process without a
// controlling terminal, and "does not exist" would send the user looking for a file.
std::string openErrorText(const std::string &path, int e) {
    switch (e) {
    case ENOENT:
        return path + " does not exist";
    case ENXIO:
        return path + ": no such device (no controlling terminal or the device is unplugged)";
    case ENODEV:
        return path + ": no device behind it (its driver is not loaded or the adapter is unplugged)";
    case ENOTDIR:
        return path + ": a part of the path is not a directory";
    case EISDIR:
        return path + " is a directory, not a tty";
    case ELOOP:
        return path + ": too many symbolic links";
    case EACCES:
    case EPERM:
        return path + ": permission denied: add the user to the dialout group";
    case EBUSY:
        return busyMessage(path);  // another holder set exclusive mode
    case EROFS:
        return path + ": read-only file system";
    default:
        return path + ": " + std::strerror(e);
    }
}

}  // namespace

int openTty(const std::string &path, const CommLine &line, std::string *error) {
    return detail::openTty(path, line, error, nullptr);
}

namespace detail {

int openTty(const std::string &path, const CommLine &line, std::string *error, int *osError) {
    if (osError) *osError = 0;
    if (path.empty()) {
        setError(error, "no port device given");
        if (osError) *osError = ENOENT;
        return -1;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int e = errno;
        if (osError) *osError = e;
        setError(error, openErrorText(path, e));
        return -1;
    }
    if (!isatty(fd)) {
        setError(error, path + " is not a tty");
        if (osError) *osError = ENOTTY;
        ::close(fd);
        return -1;
    }
    // Exclusive use, twice over: an advisory lock that every program taking ports this
    // way respects (root included), and exclusive mode, under which the kernel refuses
    // further opens of the device to everyone but root. Two processes sharing one line
    // would each take the other's replies for their own.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
        setError(error, busyMessage(path));
        if (osError) *osError = EBUSY;
        ::close(fd);
        return -1;
    }
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        if (osError) *osError = errno;
        setError(error, path + ": " + std::strerror(errno));
        ::close(fd);
        return -1;
    }
    std::string lineError;
    if (!applyLine(fd, line, &lineError)) {
        setError(error, path + ": " + lineError);
        if (osError) *osError = EINVAL;
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return -1;
    }
    rememberPort(fd, line, CommTimeouts{});
    return fd;
}

bool supportedBaudRate(uint32_t rate) {
    speed_t code{};
    return speedCode(rate, &code);
}

LineFields lineFields(const CommLine &line) {
    return LineFields{line.baudRate, line.byteSize, line.parity, line.stopBits};
}

void setLineFields(CommLine *line, const LineFields &fields) {
    line->baudRate = fields.baudRate;
    line->byteSize = fields.byteSize;
    line->parity = fields.parity;
    line->stopBits = fields.stopBits;
}

CommLine defaultLine() {
    CommLine line{};
    line.baudRate = 9600;
    line.byteSize = 8;
    line.dtrControl = DTR_CONTROL_ENABLE;
    line.rtsControl = 1;
    return line;
}

void closeTty(int fd) {
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);  // so that the device can be opened again while others hold it
    forgetPort(fd);
    ::close(fd);
}

}  // namespace detail
}  // namespace hydrix::rt
