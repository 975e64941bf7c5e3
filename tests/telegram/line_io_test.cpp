// Reading and writing telegrams over a pseudo-terminal.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "driver/engines.h"
#include "telegram/exchange_lock.h"
#include "telegram/handlers.h"
#include "tg_fixture.h"

namespace {

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
    port.write("junk\r\n\x02 O\x02K\x13 # 218\r\n");
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
        port.write("\x02");
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

// Answers each request that comes on `fd` (up to its CR) with the next reply.
void answerRequests(const PtyPort &port, const std::vector<std::string> &replies) {
    const int fd = port.pty.master();
    for (const std::string &r : replies) {
        for (char c = 0; c != '\r';) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 3000) <= 0 || read(fd, &c, 1) != 1) return;
        }
        port.write(r);
    }
}

TEST_F(LineIo, SetpointWriteWhoseConfirmationFailsTheCheckIsNotDone) {
    std::thread station(answerRequests, std::cref(port),
                        std::vector<std::string>{reply(" 1 0 12 "), reply(" SCO ", 1)});
    float area[2] = {5.0f, 0.0f};
    HostMsg msg{};
    msg.address = 0x200;
    msg.index = 2;
    msg.length = 2;
    msg.direction = DIR_WRITE;
    msg.data = area;
    ch->curMsg.store(&msg);
    EXPECT_EQ(tg::hndlWriteSetpoints(ch.get()), 0);  // tried again, not reported written
    station.join();
    EXPECT_EQ(pending(ch.get()), Triple({ERRGRP_LINE, ERR_BCC, 3}));
}

// Every wait ends within its limit, on four channels at once so that the test waits about
// five seconds: channel 0 stays silent, channel 1 starts a reply and never ends it,
// channel 2 answers "OK" for ever, and on channel 3 a worker keeps the line while the
// host waits for a station's "OK" after a call.
TEST_F(LineIo, EveryWaitEndsWithinItsLimit) {
    using Clock = std::chrono::steady_clock;
    PtyPort cutPort(1, totalReadTimeout(300)), okPort(2, totalReadTimeout(300));
    auto cut = newChannel(1), oks = newChannel(2), busy = newChannel(3);
    cutPort.write("\x02 1 2");
    std::atomic<bool> done{false};
    std::thread okStation([&] {
        const auto until = Clock::now() + std::chrono::seconds(9);  // what an endless wait would see
        while (!done.load() && Clock::now() < until) {
            okPort.write(reply(" OK "));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::promise<void> asked, holding;
    std::thread worker([&, answered = asked.get_future()] {
        tg::lockExchange(3, tg::ExchangeSide::Worker);
        holding.set_value();
        answered.wait_for(std::chrono::seconds(8));
        tg::unlockExchange(3);
    });
    holding.get_future().wait();  // the line is busy before the host asks for it
    int32_t silentResult = -1, cutResult = -1, okResult = 0, node = 0;
    Clock::duration okTook{}, eventTook{};
    std::thread a([&] { silentResult = tg::readTelegram(ch.get()); });
    std::thread b([&] { cutResult = tg::readTelegram(cut.get()); });
    std::thread c([&] {
        const auto start = Clock::now();
        okResult = tg::receiveReply(oks.get(), 1);
        okTook = Clock::now() - start;
        done.store(true);
    });
    std::thread d([&] {
        const auto start = Clock::now();
        int32_t flag = 0;
        node = tg::preEvent(busy.get(), 5, &flag);
        eventTook = Clock::now() - start;
        asked.set_value();
    });
    for (std::thread *t : {&a, &b, &c, &d, &okStation, &worker}) t->join();
    EXPECT_EQ(silentResult + cutResult, 0);
    EXPECT_EQ(pending(ch.get()), Triple({20, 17666, 0}));
    EXPECT_EQ(pending(cut.get()), Triple({21, 17666, 0}));
    EXPECT_TRUE(trace.has("[C:1] readTelegram(): Read Timeout (5000)"));
    // The OKs do not stretch the wait for the answer beyond its 5 s.
    EXPECT_EQ(okResult, -1);
    EXPECT_EQ(pending(oks.get()), Triple({20, 17666, 0}));
    EXPECT_LT(okTook, std::chrono::milliseconds(6500));
    // The host waits for the line no longer than a telegram may take to start.
    EXPECT_EQ(node, -1);
    EXPECT_LT(eventTook, std::chrono::milliseconds(6500));
    EXPECT_TRUE(trace.has("[C:3] preEvent(5): line busy, gave up"));
}

}  // namespace
