// The far end's side of a line: a pseudo-terminal pair, or a real serial device. Used by
// the station simulator, and by the tests of the host runtime as the line a port is
// opened on.
#pragma once
#include <optional>
#include <string>

namespace hydrix::station {

// A pseudo-terminal in raw mode on both sides. `master` is the far end (non-blocking);
// the slave side is kept open here so the master never sees a hang-up (POLLHUP, EIO)
// before the driver's side opens `slavePath`, or while it closes and reopens it. The
// destructor closes both; the device then hangs up for whoever still holds the slave.
class Pty {
public:
    Pty() = default;
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    Pty(Pty &&other) noexcept;
    Pty &operator=(Pty &&other) noexcept;
    ~Pty();
    static std::optional<Pty> open(std::string *error);
    int master() const { return master_; }
    const std::string &slavePath() const { return slavePath_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Opens a serial device in raw mode (8N1, the given speed; 0 means 9600).
// Returns the descriptor or -1 with *error set.
int openDevice(const std::string &path, int baud, std::string *error);

}  // namespace hydrix::station
