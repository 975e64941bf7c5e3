// readComm/writeComm time-out behaviour and port handling, on pseudo-terminals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "runtime/runtime.h"

namespace rt = hydrix::rt;
using namespace std::chrono;

namespace {

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        auto pty = rt::openPty(&error);
        ASSERT_TRUE(pty) << error;
        pty_ = *pty;
        line_ = CommLine{9600, 8, 0, 0, 1, 1, {}};
        fd_ = rt::openTty(pty_.slavePath, line_, &error);
        ASSERT_GE(fd_, 0) << error;
    }
    void TearDown() override {
        if (fd_ >= 0) ::close(fd_);
        rt::closePty(pty_);
    }
    void timeouts(uint32_t interval, uint32_t mult, uint32_t constant) {
        CommSettings s{};
        ASSERT_NE(getDefaultCommSettings(-1, fd_, &s), 0);
        s.timeouts = CommTimeouts{interval, mult, constant, 0, 500};
        ASSERT_EQ(configComm(-1, fd_, &s), 0);
    }
    void farEndSends(const std::string &bytes) {
        ASSERT_EQ(::write(pty_.master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads and returns the result, the bytes and the time it took.
    int32_t read(uint32_t count, std::string *got, milliseconds *took) {
        char buf[64] = {};
        uint32_t group = 0, code = 0;
        auto t0 = steady_clock::now();
        int32_t n = readComm(fd_, nullptr, 0, buf, count, &group, &code);
        *took = duration_cast<milliseconds>(steady_clock::now() - t0);
        if (n > 0) got->assign(buf, static_cast<size_t>(n));
        group_ = group;
        code_ = code;
        return n;
    }
    rt::Pty pty_;
    CommLine line_{};
    int fd_ = -1;
    uint32_t group_ = 0, code_ = 0;
};

TEST_F(PtyPort, IntervalAloneBoundsTheWaitForTheFirstByte) {
    timeouts(200, 0, 0);
    std::string got;
    milliseconds took{};
    EXPECT_EQ(read(1, &got, &took), 0);
    EXPECT_GE(took.count(), 190);
    EXPECT_LT(took.count(), 450);

    farEndSends("AB");
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(read(2, &got, &took), 2);
    EXPECT_EQ(got, "AB");
    EXPECT_LT(took.count(), 100) << "bytes already waiting must come back at once";
}

TEST_F(PtyPort, TotalTimeoutEndsAShortRead) {
    timeouts(0, 20, 100);  // 20 ms x 10 bytes + 100 ms = 300 ms
    farEndSends("xyz");
    std::string got;
    milliseconds took{};
    EXPECT_EQ(read(10, &got, &took), 3);
    EXPECT_EQ(got, "xyz");
    EXPECT_GE(took.count(), 290);
    EXPECT_LT(took.count(), 600);
}

TEST_F(PtyPort, ReadCollectsTwoBurstsAndStopsAtALongSilence) {
    timeouts(300, 0, 3000);
    std::thread far([this] {
        std::this_thread::sleep_for(50ms);
        farEndSends("ABC");
        std::this_thread::sleep_for(120ms);  // shorter than the interval
        farEndSends("DEF");
    });
    std::string got;
    milliseconds took{};
    EXPECT_EQ(read(6, &got, &took), 6);
    far.join();
    EXPECT_EQ(got, "ABCDEF");
    EXPECT_LT(took.count(), 1000);

    // A pause longer than the interval ends the read with what came so far.
    std::thread late([this] {
        farEndSends("12");
        std::this_thread::sleep_for(700ms);
        farEndSends("34");
    });
    EXPECT_EQ(read(4, &got, &took), 2);
    EXPECT_EQ(got, "12");
    EXPECT_GE(took.count(), 290);
    EXPECT_LT(took.count(), 650);
    late.join();
    EXPECT_EQ(read(4, &got, &took), 2);
    EXPECT_EQ(got, "34");
}

TEST_F(PtyPort, MaximumIntervalReturnsAtOnce) {
    timeouts(0xFFFFFFFFu, 0, 0);
    std::string got;
    milliseconds took{};
    EXPECT_EQ(read(8, &got, &took), 0);
    EXPECT_LT(took.count(), 50);
    farEndSends("hi");
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(read(8, &got, &took), 2);
    EXPECT_EQ(got, "hi");
}

TEST_F(PtyPort, WriteReachesTheFarEndUnchanged) {
    timeouts(100, 0, 0);
    const std::string telegram = "\x01 12 WGS P 0 ! 3 #1A2B\r\n";
    uint32_t group = 0, code = 0;
    ASSERT_NE(writeComm(fd_, nullptr, 0, telegram.data(), static_cast<uint32_t>(telegram.size()),
                        &group, &code), 0);
    std::string seen(telegram.size(), '\0');
    size_t have = 0;
    while (have < seen.size()) {
        ssize_t n = ::read(pty_.master, seen.data() + have, seen.size() - have);
        ASSERT_GT(n, 0);
        have += static_cast<size_t>(n);
    }
    EXPECT_EQ(seen, telegram) << "raw mode must not translate CR or LF";
}

TEST_F(PtyPort, HangUpOfTheFarEndIsAFailureNotAHang) {
    timeouts(0, 0, 5000);
    farEndSends("Z");
    std::this_thread::sleep_for(20ms);
    rt::closePty(pty_);
    std::string got;
    milliseconds took{};
    int32_t n = read(4, &got, &took);
    if (n > 0) {  // the byte that was already there may come first
        EXPECT_EQ(got, "Z");
        n = read(4, &got, &took);
    }
    EXPECT_LT(n, 0);
    EXPECT_EQ(group_, static_cast<uint32_t>(ERRGRP_NO_PORT_READ));
    EXPECT_EQ(code_, static_cast<uint32_t>(EIO));
    EXPECT_LT(took.count(), 1000);
    uint32_t group = 0, code = 0;
    EXPECT_EQ(writeComm(fd_, nullptr, 0, "x", 1, &group, &code), 0);
    EXPECT_EQ(group, static_cast<uint32_t>(ERRGRP_NO_PORT_SEND));
}

TEST_F(PtyPort, ChannelPortReopensWithItsSettings) {
    ::close(fd_);  // the channel opens the device itself
    fd_ = -1;
    rt::PortSettings settings{pty_.slavePath, CommLine{19200, 7, 2, 0, 1, 1, {}}};
    ASSERT_FALSE(rt::openChannelPort(3, settings));
    CommHandle h = getCommHandle(3);
    ASSERT_NE(h, COMM_HANDLE_INVALID);
    CommSettings s{};
    ASSERT_NE(getDefaultCommSettings(3, h, &s), 0);
    EXPECT_EQ(s.line.baudRate, 19200u);
    EXPECT_EQ(s.line.byteSize, 7);
    EXPECT_EQ(s.line.parity, 2);
    s.timeouts = CommTimeouts{150, 0, 0, 0, 0};
    ASSERT_EQ(configComm(3, h, &s), 0);

    CommHandle again = h;
    ASSERT_NE(reopenCommHandle(3, &again), 0);
    EXPECT_EQ(getCommHandle(3), again);
    CommSettings after{};
    ASSERT_NE(getDefaultCommSettings(3, again, &after), 0);
    EXPECT_EQ(after.line.baudRate, 19200u);
    EXPECT_EQ(after.timeouts.readIntervalTimeout, 150u);

    farEndSends("ok");
    char buf[4] = {};
    uint32_t group = 0, code = 0;
    EXPECT_EQ(readComm(again, nullptr, 0, buf, 2, &group, &code), 2);
    EXPECT_EQ(std::string(buf, 2), "ok");

    rt::closeChannelPort(3);
    EXPECT_EQ(getCommHandle(3), COMM_HANDLE_INVALID);
    EXPECT_EQ(getCommHandle(8), COMM_HANDLE_INVALID);
    EXPECT_EQ(reopenCommHandle(-1, &again), 0);
}

TEST(Ports, OpenErrorsSayWhatIsWrong) {
    std::string error;
    CommLine line{9600, 8, 0, 0, 1, 1, {}};
    EXPECT_EQ(rt::openTty("/dev/ttyNOSUCHPORT7", line, &error), -1);
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
    EXPECT_EQ(rt::openTty("/dev/null", line, &error), -1);
    EXPECT_NE(error.find("not a tty"), std::string::npos) << error;

    uint32_t group = 0, code = 0;
    char buf[2];
    EXPECT_LT(readComm(COMM_HANDLE_INVALID, nullptr, 0, buf, 2, &group, &code), 0);
    EXPECT_EQ(group, static_cast<uint32_t>(ERRGRP_NO_PORT_READ));
    EXPECT_EQ(code, static_cast<uint32_t>(EBADF));
}

}  // namespace
