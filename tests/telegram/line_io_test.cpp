// Reading and writing telegrams over a pseudo-terminal.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tg_fixture.h"

namespace {

void writeAll(int fd, const std::string &bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string readAvailable(int fd) {
    std::string out;
    char buf[256];
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 200) > 0;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

class LineIo : public ::testing::Test {
protected:
    TraceCapture trace;
    PtyPort port{0, totalReadTimeout(100)};
    std::unique_ptr<TelegramChannel> ch = newChannel(0);
    void TearDown() override { debugLevel.store(0); }
};

TEST_F(LineIo, JunkBeforeStxSecondStxAndDc3AreDroppedAndBothDumpsWritten) {
    debugLevel.store(1);
    writeAll(port.pty.master(), "junk\r\n\x02 O\x02K\x13 # 218\r\n");
    ASSERT_EQ(tg::readTelegram(ch.get()), 1);
    EXPECT_TRUE(trace.has("Recv[13]: [STX] OK\x13 # 218[CR][LF]"));
    EXPECT_EQ(tg::checkRxTelegram(ch.get(), 7), tg::RX_OK);
    EXPECT_EQ(ch->rxLen, 12);
    tg::prepareRequest(ch.get());
    tg::formatTelegram(ch.get(), " %d WGS P 0 ! %d #", 12, 3);
    ASSERT_EQ(tg::writeTelegram(ch.get()), 1);
    EXPECT_TRUE(trace.has("Send[24]: [SOH] 12 WGS P 0 ! 3 # 776 [CR]"));
    EXPECT_EQ(readAvailable(port.pty.master()), "\x01 12 WGS P 0 ! 3 # 776 \r");
}

TEST_F(LineIo, NoPort) {
    hydrix::rt::closeChannelPort(0);
    EXPECT_EQ(tg::writeTelegram(ch.get()), 0);
    EXPECT_EQ(pending(ch.get()), Triple({23, 17671, 0}));
    EXPECT_TRUE(trace.has("[C:0] writeTelegram(): failed to get comm handle"));
    EXPECT_EQ(tg::readTelegram(ch.get()), 0);
    EXPECT_EQ(pending(ch.get()), Triple({22, 17687, 0}));
    EXPECT_TRUE(trace.has("[C:0] readTelegram(): Invalid Port handle"));
}

TEST_F(LineIo, EndlessReplyStopsAtTheBufferWithoutOverrun) {
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        const std::string chunk(4096, 'A');
        writeAll(port.pty.master(), "\x02");
        while (!done.load()) {
            pollfd p{port.pty.master(), POLLOUT, 0};
            if (poll(&p, 1, 50) > 0 && write(port.pty.master(), chunk.data(), chunk.size()) < 0) break;
        }
    });
    EXPECT_EQ(tg::readTelegram(ch.get()), 0);
    done.store(true);
    feeder.join();
    EXPECT_EQ(pending(ch.get()), Triple({21, 17666, 0}));
    EXPECT_EQ(ch->rxLen, TG_BUF_SIZE - 1);
    EXPECT_EQ(ch->rxBuf[TG_BUF_SIZE - 1], 0);
    EXPECT_TRUE(trace.has("[C:0] readTelegram(): Reply too long (65791)"));
}

// Both time limits, on two channels at once so that the test waits about five seconds:
// channel 0 stays silent, channel 1 starts a reply and never ends it.
TEST_F(LineIo, NoStartAndNoEnd) {
    PtyPort cutPort(1, totalReadTimeout(300));
    auto cut = newChannel(1);
    writeAll(cutPort.pty.master(), "\x02 1 2");
    int32_t silentResult = -1, cutResult = -1;
    std::thread a([&] { silentResult = tg::readTelegram(ch.get()); });
    std::thread b([&] { cutResult = tg::readTelegram(cut.get()); });
    a.join();
    b.join();
    EXPECT_EQ(silentResult + cutResult, 0);
    EXPECT_EQ(pending(ch.get()), Triple({20, 17666, 0}));
    EXPECT_EQ(pending(cut.get()), Triple({21, 17666, 0}));
    EXPECT_TRUE(trace.has("[C:1] readTelegram(): Read Timeout (5000)"));
}

}  // namespace
