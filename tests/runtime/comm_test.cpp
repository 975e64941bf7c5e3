// readComm/writeComm time-out behaviour and port handling, on pseudo-terminals.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "runtime/runtime.h"
#include "station/pty.h"

namespace rt = hydrix::rt;
using namespace std::chrono;

namespace {

struct Read {
    int32_t n;
    std::string bytes;
    long ms;
    uint32_t group, code;
};

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        auto pty = hydrix::station::Pty::open(&error);
        ASSERT_TRUE(pty) << error;
        pty_ = std::move(*pty);
        fd_ = rt::openTty(pty_.slavePath(), CommLine{9600, 8, 0, 0, 1, 1, {}}, &error);
        ASSERT_GE(fd_, 0) << error;
    }
    void TearDown() override {
        if (fd_ >= 0) ::close(fd_);
    }
    void timeouts(uint32_t interval, uint32_t mult, uint32_t constant) {
        CommSettings s{};
        ASSERT_NE(getDefaultCommSettings(-1, fd_, &s), 0);
        s.timeouts = CommTimeouts{interval, mult, constant, 0, 500};
        ASSERT_EQ(configComm(-1, fd_, &s), 0);
    }
    void farEndSends(const std::string &bytes) {
        ASSERT_EQ(::write(pty_.master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    Read read(uint32_t count) {
        char buf[64] = {};
        Read r{};
        auto t0 = steady_clock::now();
        r.n = readComm(fd_, nullptr, 0, buf, count, &r.group, &r.code);
        r.ms = static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - t0).count());
        if (r.n > 0) r.bytes.assign(buf, static_cast<size_t>(r.n));
        return r;
    }
    hydrix::station::Pty pty_;
    int fd_ = -1;
};

TEST_F(PtyPort, IntervalOrTotalTimeoutBoundsTheRead) {
    timeouts(200, 0, 0);  // interval alone bounds the wait for the first byte
    Read r = read(1);
    EXPECT_EQ(r.n, 0);
    EXPECT_TRUE(r.ms >= 190 && r.ms < 450) << r.ms;
    farEndSends("AB");
    std::this_thread::sleep_for(20ms);
    r = read(2);
    EXPECT_EQ(r.bytes, "AB");
    EXPECT_LT(r.ms, 100) << "bytes already waiting must come back at once";

    timeouts(0xFFFFFFFFu, 0, 0);  // take what is there, never wait
    r = read(8);
    EXPECT_EQ(r.n, 0);
    EXPECT_LT(r.ms, 50);

    timeouts(0, 20, 100);  // 20 ms x 10 bytes + 100 ms = 300 ms
    farEndSends("xyz");
    r = read(10);
    EXPECT_EQ(r.bytes, "xyz");
    EXPECT_TRUE(r.ms >= 290 && r.ms < 600) << r.ms;
}

TEST_F(PtyPort, ReadCollectsTwoBurstsAndStopsAtALongSilence) {
    timeouts(300, 0, 3000);
    std::thread far([this] {  // the gap is shorter than the interval
        std::this_thread::sleep_for(50ms), farEndSends("ABC"), std::this_thread::sleep_for(120ms), farEndSends("DEF");
    });
    Read r = read(6);
    far.join();
    EXPECT_EQ(r.bytes, "ABCDEF");
    EXPECT_LT(r.ms, 1000);

    // A pause longer than the interval ends the read with what came so far.
    std::thread late([this] { farEndSends("12"), std::this_thread::sleep_for(700ms), farEndSends("34"); });
    r = read(4);
    EXPECT_EQ(r.bytes, "12");
    EXPECT_TRUE(r.ms >= 290 && r.ms < 650) << r.ms;
    late.join();
    EXPECT_EQ(read(4).bytes, "34");
}

TEST_F(PtyPort, WriteArrivesUnchangedAndHangUpIsAFailureNotAHang) {
    timeouts(0, 0, 5000);
    const std::string telegram = "\x01 12 WGS P 0 ! 3 #1A2B\r\n";
    uint32_t group = 0, code = 0;
    ASSERT_NE(writeComm(fd_, nullptr, 0, telegram.data(), uint32_t(telegram.size()), &group, &code), 0);
    std::string seen(telegram.size(), '\0');
    for (size_t have = 0; have < seen.size();) {
        pollfd p{pty_.master(), POLLIN, 0};  // the far end does not block
        ASSERT_EQ(::poll(&p, 1, 2000), 1);
        const ssize_t n = ::read(pty_.master(), &seen[have], seen.size() - have);
        ASSERT_GT(n, 0);
        have += size_t(n);
    }
    EXPECT_EQ(seen, telegram) << "raw mode must not translate CR or LF";
    farEndSends("Z");
    std::this_thread::sleep_for(20ms);
    pty_ = hydrix::station::Pty();  // the far end closes
    Read r = read(4);
    if (r.n > 0) r = read(4);  // the byte that was already there may come first
    EXPECT_LT(r.n, 0);
    EXPECT_EQ(std::pair(r.group, r.code), std::pair(uint32_t(ERRGRP_NO_PORT_READ), uint32_t(EIO)));
    EXPECT_LT(r.ms, 1000);
    EXPECT_EQ(writeComm(fd_, nullptr, 0, "x", 1, &group, &code), 0);
    EXPECT_EQ(group, static_cast<uint32_t>(ERRGRP_NO_PORT_SEND));
}

TEST_F(PtyPort, ChannelPortReopensWithItsSettings) {
    ::close(fd_);  // the channel opens the device itself
    fd_ = -1;
    ASSERT_FALSE(rt::openChannelPort(3, {pty_.slavePath(), CommLine{19200, 7, 2, 0, 1, 1, {}}}));
    CommHandle h = getCommHandle(3);
    CommSettings s{};
    ASSERT_NE(getDefaultCommSettings(3, h, &s), 0);
    s.timeouts = CommTimeouts{150, 0, 0, 0, 0};
    ASSERT_EQ(configComm(3, h, &s), 0);

    ASSERT_NE(reopenCommHandle(3, &h), 0);
    EXPECT_EQ(getCommHandle(3), h);
    ASSERT_NE(getDefaultCommSettings(3, h, &s), 0);
    EXPECT_EQ(std::tuple(s.line.baudRate, s.line.byteSize, s.timeouts.readIntervalTimeout),
              std::tuple(19200u, 7, 150u));
    fd_ = static_cast<int>(h);
    farEndSends("ok");
    EXPECT_EQ(read(2).bytes, "ok");
    fd_ = -1;
    rt::closeChannelPort(3);
    EXPECT_EQ(getCommHandle(3), COMM_HANDLE_INVALID);
    EXPECT_EQ(getCommHandle(8), COMM_HANDLE_INVALID);
}

}  // namespace
