// Channel ports held exclusively, and ports whose device goes away and comes back.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <tuple>

#include "common/wait.h"
#include "runtime/runtime.h"
#include "station/pty.h"

namespace rt = hydrix::rt;

namespace {

const CommLine kLine{9600, 8, 0, 0, 1, 1, {}};

std::string busyText(pid_t pid) { return "port busy (in use by process " + std::to_string(pid) + ")"; }

// A process of its own that takes the port as every careful program does (an advisory
// lock), and holds it until told to let go.
class OtherProcess {
public:
    explicit OtherProcess(const std::string &path) {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            // Only system calls here: the test program has threads.
            ::close(release[1]);
            ::close(ready[0]);
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
            const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(release[0], &c, 1);
            _exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        releaseFd_ = release[1];
        char ok = 'n';
        holding_ = ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        ::close(ready[0]);
    }
    ~OtherProcess() { letGo(); }
    void letGo() {
        if (releaseFd_ >= 0) ::close(releaseFd_);
        releaseFd_ = -1;
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }
    bool holding() const { return holding_; }

private:
    pid_t pid_ = -1;
    int releaseFd_ = -1;
    bool holding_ = false;
};

// Two channels given one device: the second is refused, naming this process. (Another
// program on the port is refused the same way, naming that one: tests/cli/ports_test.cpp.)
TEST(ExclusivePorts, ASecondChannelOnOneDeviceIsRefused) {
    std::string error;
    auto pty = hydrix::station::Pty::open(&error);
    ASSERT_TRUE(pty) << error;
    const std::string path = pty->slavePath();
    ASSERT_FALSE(rt::openChannelPort(0, {path, kLine}));
    auto failed = rt::openChannelPort(1, {path, kLine});
    ASSERT_TRUE(failed);
    EXPECT_EQ(*failed, path + ": " + busyText(getpid()));
    EXPECT_EQ(getCommHandle(1), COMM_HANDLE_INVALID);
    // Reopening keeps the port to its channel.
    CommHandle h = COMM_HANDLE_INVALID;
    EXPECT_NE(reopenCommHandle(0, &h), 0);
    rt::closeChannelPort(0);
}

// A device path that the test can make vanish and point at a new pseudo-terminal, as an
// adapter that is pulled out and plugged in again.
class MovingDevice {
public:
    MovingDevice() {
        char dir[] = "/tmp/hydrix-port-XXXXXX";
        if (mkdtemp(dir) != nullptr) dir_ = dir;
        path_ = dir_ + "/ttyUSB0";
    }
    ~MovingDevice() {
        unplug();
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    const std::string &path() const { return path_; }
    int master() const { return pty_ ? pty_->master() : -1; }
    void plugIn() {
        std::string error;
        pty_ = hydrix::station::Pty::open(&error);
        ASSERT_TRUE(pty_) << error;
        const std::string next = path_ + ".next";
        ASSERT_EQ(::symlink(pty_->slavePath().c_str(), next.c_str()), 0);
        ASSERT_EQ(::rename(next.c_str(), path_.c_str()), 0);
    }
    // The far end closes: the tty hangs up and its name disappears (the link goes too:
    // left dangling, it would name a /dev/pts/N that the next pseudo-terminal may take).
    void unplug() {
        pty_.reset();
        ::unlink(path_.c_str());
    }

private:
    std::string dir_, path_;
    std::optional<hydrix::station::Pty> pty_;
};

struct Io {
    int32_t result;
    uint32_t group, code;
};
Io readOne(CommHandle h, char *byte) {
    Io io{};
    io.result = readComm(h, nullptr, 0, byte, 1, &io.group, &io.code);
    return io;
}
Io writeOne(CommHandle h) {
    Io io{};
    io.result = writeComm(h, nullptr, 0, "x", 1, &io.group, &io.code);
    return io;
}

TEST(LostPorts, AChannelGetsItsDeviceBackWithItsSettingsAndOthersAreUntouched) {
    MovingDevice device;
    device.plugIn();
    std::string error;
    auto steady = hydrix::station::Pty::open(&error);
    ASSERT_TRUE(steady) << error;
    ASSERT_FALSE(rt::openChannelPort(2, {device.path(), kLine}));
    ASSERT_FALSE(rt::openChannelPort(3, {steady->slavePath(), kLine}));
    const CommHandle steadyHandle = getCommHandle(3);
    CommHandle h = getCommHandle(2);
    CommSettings settings{};
    ASSERT_NE(getDefaultCommSettings(2, h, &settings), 0);
    settings.line.dtrControl = DTR_CONTROL_HANDSHAKE;
    settings.timeouts = CommTimeouts{150, 0, 0, 100, 200};
    ASSERT_EQ(configComm(2, h, &settings), 0);

    // Pulled out: reads and writes fail with the hang-up, at once and every time, and the
    // number the driver holds stays the channel's until the driver reopens the port.
    device.unplug();
    char byte = 0;
    for (int round = 0; round < 2; ++round) {
        Io r = readOne(h, &byte), w = writeOne(h);
        EXPECT_EQ(std::tuple(r.result, r.group, r.code), std::tuple(-1, uint32_t(ERRGRP_NO_PORT_READ), uint32_t(EIO)));
        EXPECT_EQ(std::tuple(w.result, w.group, w.code), std::tuple(0, uint32_t(ERRGRP_NO_PORT_SEND), uint32_t(EIO)));
        EXPECT_EQ(getCommHandle(2), h);
    }
    CommHandle reopened = h;
    EXPECT_EQ(reopenCommHandle(2, &reopened), 0);
    EXPECT_EQ(reopened, COMM_HANDLE_INVALID);
    EXPECT_EQ(getCommHandle(2), COMM_HANDLE_INVALID);

    // Plugged in again: the next look for the handle finds it, with the settings the
    // driver gave the port before it went away.
    device.plugIn();
    h = getCommHandle(2);
    ASSERT_NE(h, COMM_HANDLE_INVALID);
    ASSERT_NE(getDefaultCommSettings(2, h, &settings), 0);
    EXPECT_EQ(settings.line.dtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(settings.timeouts.readIntervalTimeout, 150u);
    EXPECT_EQ(settings.timeouts.writeTotalTimeoutMultiplier, 100u);
    ASSERT_EQ(::write(device.master(), "A", 1), 1);
    Io r = readOne(h, &byte);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(byte, 'A');

    // Out and in again before the driver reopens: the device comes back under the number
    // the driver already holds.
    device.unplug();
    EXPECT_EQ(readOne(h, &byte).result, -1);
    device.plugIn();
    EXPECT_EQ(getCommHandle(2), h);
    ASSERT_EQ(::write(device.master(), "B", 1), 1);
    r = readOne(h, &byte);
    EXPECT_EQ(std::pair(r.result, byte), std::pair(1, 'B'));
    EXPECT_EQ(writeOne(h).result, 1);

    // The other channel kept its port all along.
    EXPECT_EQ(getCommHandle(3), steadyHandle);
    ASSERT_EQ(::write(steady->master(), "C", 1), 1);
    r = readOne(steadyHandle, &byte);
    EXPECT_EQ(std::pair(r.result, byte), std::pair(1, 'C'));

    rt::closeChannelPort(2);
    rt::closeChannelPort(3);
    EXPECT_EQ(getCommHandle(2), COMM_HANDLE_INVALID);
}

// A device that stays busy (or away) is looked for again only as its back-off allows, however
// often the driver reopens and asks for the handle; once free, it is taken on its own.
TEST(LostPorts, ADeviceStillAwayIsNotSoughtBeforeItsBackOffRunsOut) {
    std::atomic<int> attempts{0};
    rt::setTraceSink([&](const std::string &line) { attempts += line.find("port busy") != std::string::npos; });
    std::string error;
    auto pty = hydrix::station::Pty::open(&error);
    ASSERT_TRUE(pty) << error;
    ASSERT_FALSE(rt::openChannelPort(4, {pty->slavePath(), kLine}));
    rt::closeChannelPort(4);
    OtherProcess other(pty->slavePath());
    ASSERT_TRUE(other.holding());
    for (int i = 0; i < 50; ++i) {
        CommHandle h = 0;
        EXPECT_EQ(reopenCommHandle(4, &h), 0);
        EXPECT_EQ(h, COMM_HANDLE_INVALID);
        EXPECT_EQ(getCommHandle(4), COMM_HANDLE_INVALID);
    }
    EXPECT_LE(attempts.load(), 3) << "one attempt, or a few should the test be held up past the back-off";
    other.letGo();
    EXPECT_TRUE(eventually([] { return getCommHandle(4) != COMM_HANDLE_INVALID; }, 3000));
    rt::setTraceSink({});
    rt::closeChannelPort(4);
}

}  // namespace
