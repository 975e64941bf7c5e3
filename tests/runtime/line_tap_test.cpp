// The line tap: every byte readComm hands over and writeComm puts on the line reaches the
// tap of the port's channel, and a tap can be set and cleared while the line is busy.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/runtime.h"
#include "station/pty.h"

namespace rt = hydrix::rt;

namespace {

// Two channels, each on a pseudo-terminal, with fast read time-outs.
class TappedPorts : public ::testing::Test {
protected:
    static constexpr int kChannels[2] = {2, 5};
    void SetUp() override {
        for (int i = 0; i < 2; ++i) {
            std::string error;
            auto pty = hydrix::station::Pty::open(&error);
            ASSERT_TRUE(pty) << error;
            pty_[i] = std::move(*pty);
            rt::PortSettings settings;
            settings.device = pty_[i].slavePath();
            settings.line = CommLine{9600, 8, 0, 0, 1, 1, {}};
            ASSERT_EQ(rt::openChannelPort(kChannels[i], settings), std::nullopt);
            CommSettings s{};
            ASSERT_NE(getDefaultCommSettings(kChannels[i], handle(i), &s), 0);
            s.timeouts = CommTimeouts{20, 0, 0, 0, 500};
            ASSERT_EQ(configComm(kChannels[i], handle(i), &s), 0);
        }
    }
    void TearDown() override {
        for (int i = 0; i < 2; ++i) {
            rt::setLineTap(kChannels[i], {});
            rt::closeChannelPort(kChannels[i]);
            pty_[i] = hydrix::station::Pty();
        }
    }
    CommHandle handle(int i) { return getCommHandle(kChannels[i]); }
    void farEndSends(int i, const std::string &bytes) {
        ASSERT_EQ(::write(pty_[i].master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string readAll(int i, size_t want) {
        std::string got;
        for (int tries = 0; got.size() < want && tries < 50; ++tries) {
            char buf[64];
            uint32_t group = 0, code = 0;
            const int32_t n = readComm(handle(i), nullptr, 0, buf, sizeof buf, &group, &code);
            if (n < 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    bool write(int i, const std::string &bytes) {
        uint32_t group = 0, code = 0;
        return writeComm(handle(i), nullptr, 0, bytes.data(), static_cast<uint32_t>(bytes.size()), &group, &code) == 1;
    }
    hydrix::station::Pty pty_[2];
};

// What a tap saw, as text: "<" for bytes read, ">" for bytes written.
struct Seen {
    std::mutex mutex;
    std::string text;
    rt::LineTap tap() {
        return [this](rt::Direction d, const uint8_t *bytes, size_t n) {
            std::lock_guard lock(mutex);
            text += d == rt::Direction::Read ? '<' : '>';
            text.append(reinterpret_cast<const char *>(bytes), n);
        };
    }
    std::string get() {
        std::lock_guard lock(mutex);
        return text;
    }
};

TEST_F(TappedPorts, EachChannelsTapSeesItsOwnBytesBothWays) {
    Seen seen[2];
    rt::setLineTap(kChannels[0], seen[0].tap());
    rt::setLineTap(kChannels[1], seen[1].tap());

    ASSERT_TRUE(write(0, "\x01 12 MCC 0 1 # 99 \r"));
    farEndSends(0, "\x02 1 A 17 # 40\r\n");
    EXPECT_EQ(readAll(0, 15), "\x02 1 A 17 # 40\r\n");
    ASSERT_TRUE(write(1, "ping"));
    farEndSends(1, "pong");
    EXPECT_EQ(readAll(1, 4), "pong");

    // Reads of any size arrive whole and in order; the v6 receiver reads one byte a time.
    std::string expected0 = std::string(">") + "\x01 12 MCC 0 1 # 99 \r";
    const std::string got0 = seen[0].get();
    ASSERT_EQ(got0.substr(0, expected0.size()), expected0);
    std::string readPart;
    for (char ch : got0.substr(expected0.size()))
        if (ch != '<') readPart += ch;
    EXPECT_EQ(readPart, "\x02 1 A 17 # 40\r\n");
    EXPECT_EQ(seen[1].get().substr(0, 5), ">ping");
    EXPECT_NE(seen[1].get().find("pong"), std::string::npos);
    EXPECT_EQ(seen[1].get().find("MCC"), std::string::npos);

    // Cleared: nothing more reaches it. A read that brings nothing calls no tap.
    rt::setLineTap(kChannels[0], {});
    const std::string before = seen[0].get();
    ASSERT_TRUE(write(0, "more"));
    farEndSends(0, "xyz");
    EXPECT_EQ(readAll(0, 3), "xyz");
    char none[4];
    uint32_t group = 0, code = 0;
    EXPECT_EQ(readComm(handle(0), nullptr, 0, none, sizeof none, &group, &code), 0);
    EXPECT_EQ(seen[0].get(), before);
}

// A tap refers to state that its owner frees as soon as setLineTap has replaced it. With
// a reader and a writer busy on the line, replacing and clearing the tap over and over
// must never run a tap whose state is gone (the sanitizer builds see it if it does).
TEST_F(TappedPorts, SetAndClearWhileTheLineIsBusy) {
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            char buf[8];
            uint32_t group = 0, code = 0;
            readComm(handle(0), nullptr, 0, buf, 1, &group, &code);
        }
    });
    std::thread writer([&] {
        while (!stop.load()) write(0, "w");
    });
    std::thread farEnd([&] {
        char buf[256];
        while (!stop.load()) {
            // The far end does not block: a full line (EAGAIN) is waited out, not an end.
            if (::write(pty_[0].master(), "r", 1) != 1 && errno != EAGAIN) break;
            pollfd p{pty_[0].master(), POLLIN, 0};
            if (::poll(&p, 1, 1) == 1 && ::read(pty_[0].master(), buf, sizeof buf) < 0) break;
        }
    });
    long tapped = 0;
    for (int round = 0; round < 300; ++round) {
        auto state = std::make_unique<std::atomic<long>>(0);
        rt::setLineTap(kChannels[0], [counter = state.get()](rt::Direction, const uint8_t *, size_t n) {
            counter->fetch_add(static_cast<long>(n));
        });
        // Until the tap has run at least once (bounded: the line is busy all the time).
        for (int spin = 0; spin < 100000 && state->load() == 0; ++spin) std::this_thread::yield();
        if (round % 2)
            rt::setLineTap(kChannels[0], [](rt::Direction, const uint8_t *, size_t) {});
        else
            rt::setLineTap(kChannels[0], {});
        tapped += state->load() > 0 ? 1 : 0;
        state.reset();  // the tap that used it has been replaced and is no longer running
    }
    stop = true;
    reader.join();
    writer.join();
    farEnd.join();
    EXPECT_GT(tapped, 250);  // the tap was in use when it was replaced, nearly every round
}

// Opening a port that cannot be opened says why, per cause, in words.
TEST(PortOpenErrors, EachCauseSaysWhatItIs) {
    const std::pair<const char *, const char *> cases[] = {
        {"/dev/ttyHydrixNone", "/dev/ttyHydrixNone does not exist"},
        {"/dev/null/tty", "/dev/null/tty: a part of the path is not a directory"},
        {"/dev", "/dev is a directory, not a tty"},
        {"/dev/null", "/dev/null is not a tty"},
    };
    for (const auto &[path, says] : cases) {
        std::string error;
        EXPECT_LT(rt::openTty(path, CommLine{9600, 8, 0, 0, 1, 1, {}}, &error), 0) << path;
        EXPECT_EQ(error, says);
    }
}

// /dev/tty exists, but in a process without a controlling terminal (a service, a job
// started by a scheduler) opening it fails with ENXIO: no such device, not a missing file.
TEST(PortOpenErrors, DevTtyWithoutAControllingTerminal) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipeFds[0]);
        setsid();  // a new session: no controlling terminal
        std::string error;
        const int fd = rt::openTty("/dev/tty", CommLine{9600, 8, 0, 0, 1, 1, {}}, &error);
        if (fd >= 0) error = "opened";
        if (::write(pipeFds[1], error.data(), error.size()) < 0) _exit(2);
        _exit(0);
    }
    close(pipeFds[1]);
    std::string said;
    char buf[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(said, "/dev/tty: no such device (no controlling terminal or the device is unplugged)");
}

}  // namespace
