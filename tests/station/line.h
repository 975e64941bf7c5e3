// The driver's side of a simulated line, for the simulator's own tests: a pty whose
// master the simulator serves, and the slave opened here in raw mode.
#pragma once

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "station/frame.h"
#include "station/station.h"

namespace hydrix::station::test {

class Line {
public:
    explicit Line(Model model, const Faults &faults = {})
        : pty_(*Pty::open(nullptr)), sim_(pty_.master(), std::move(model)) {
        openSlave();
        sim_.setFaults(faults);
        sim_.start();
    }
    ~Line() {
        sim_.stop();
        ::close(fd_);
    }
    Simulator &sim() { return sim_; }
    // Closes the slave side and opens it again, as the driver does when it resets a port.
    void reopen() {
        ::close(fd_);
        openSlave();
    }
    // A new pseudo-terminal under the running simulator; the old line is gone.
    void reattach() {
        Pty next = *Pty::open(nullptr);
        sim_.reattach(next.master());
        ::close(fd_);
        pty_ = std::move(next);
        openSlave();
    }

    // Writes all of `bytes`, waiting for room on the line when it is full.
    void send(const std::string &bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            pollfd pfd{fd_, POLLOUT, 0};
            if (::poll(&pfd, 1, 2000) <= 0) return;
        }
    }
    void request(const std::string &text, bool v6 = false) { send(wire::buildRequest(text, v6)); }

    // Reads until `frames` line ends (LF, or CR when crOnly) have come, or the time is up.
    std::string read(int frames, int timeoutMs, bool crOnly = false) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int seen = 0;
        while (seen < frames) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
            char c;
            while (seen < frames && ::read(fd_, &c, 1) == 1) {
                got += c;
                if (c == (crOnly ? wire::CR : wire::LF)) ++seen;
            }
        }
        return got;
    }
    // One exchange: the reply text between the lead byte's blank and the " #".
    std::string ask(const std::string &text) {
        request(text);
        return replyText(read(1, 2000));
    }
    static std::string replyText(const std::string &frame) {
        const size_t stx = frame.find(wire::STX), hash = frame.rfind(" #");
        if (stx == std::string::npos || hash == std::string::npos || hash < stx + 2)
            return "<no reply: " + printable(frame) + ">";
        return frame.substr(stx + 2, hash - stx - 2);
    }

private:
    void openSlave() {
        fd_ = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }

    Pty pty_;
    Simulator sim_;
    int fd_ = -1;
};

}  // namespace hydrix::station::test
