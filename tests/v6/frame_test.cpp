// Frames from the line: checksum, assembly in the receiver's buffer, and what the
// receiver thread queues for the channel thread.
#include <unistd.h>

#include <thread>

#include "v6_fixture.h"

using namespace v6;

namespace {

const std::string kOk = std::string("\x02 OK # 218 \r\n");

class FrameTest : public V6Test {
protected:
    void SetUp() override {
        V6Test::SetUp();
        channel();
        port = std::make_unique<PtyPort>(kChan, 40);
    }
    void TearDown() override {
        port.reset();
        V6Test::TearDown();
    }
    // Sends bytes and runs one frame read on them.
    int32_t receive(const std::string &bytes) {
        port->write(bytes);
        bool waited = false;
        return receiveFrameWaiting(ch_.get(), &waited);
    }
    std::string frameText() const { return std::string(ch_->rxFrame.data, static_cast<size_t>(ch_->rxFrame.length)); }
    std::unique_ptr<PtyPort> port;
};

}  // namespace

TEST(V6Checksum, SumsUnsignedBytesAndFoldsTheUpperHalf) {
    EXPECT_EQ(frameChecksum("abc", 3), 294u);
    EXPECT_EQ(frameChecksum(" OK ", 4), 218u);
    std::string big(160, '\xFA');  // 160 x 250 = 40000
    EXPECT_EQ(frameChecksum(big.data(), 160), 25536u);
    EXPECT_EQ(frameChecksum("", 0), 0u);
}

TEST_F(FrameTest, GoodFrameIsCutBehindTheLeadByteAndChecked) {
    for (const std::string &bytes : {kOk, "\x13" + kOk, "junk\x13 x" + kOk, std::string("\x02 OK # 218 \r")}) {
        SCOPED_TRACE(bytes);
        clearTraces();
        ASSERT_EQ(receive(bytes), 1);
        EXPECT_EQ(ch_->rxFrame.ioErrCode, 0u);
        EXPECT_EQ(frameText(), "\x02 OK ");
        EXPECT_TRUE(traced("[5] RecvMSG: (12) 02,20,4F,4B,20,23,20,32,31,38,20,0D,"));
    }
    // Bytes behind the first CR are not part of the frame.
    ASSERT_EQ(receive("\x02 OK # 218 \rxyz\n"), 1);
    EXPECT_EQ(ch_->rxFrame.ioErrCode, 0u);
}

TEST_F(FrameTest, DamagedFramesReportWhy) {
    ASSERT_EQ(receive("\x02 OK # 219 \r\n"), 1);
    EXPECT_EQ(ch_->rxFrame.ioErrCode, RX_ERR_CHECKSUM);
    EXPECT_TRUE(traced("Error CRC RX:219 Calc:218"));

    EXPECT_EQ(receive("no lead byte here\r\n"), 0);
    EXPECT_EQ(ch_->rxFrame.ioErrCode, RX_ERR_NO_LEAD);
    EXPECT_TRUE(traced("[5] Low level error No STX or SOH"));

    // Without "#" the frame is dropped silently.
    EXPECT_EQ(receive("\x02 OK 218 \r\n"), 0);
    EXPECT_EQ(ch_->rxFrame.ioErrCode, 0u);

    // A checksum field cut short reads as what is there.
    ASSERT_EQ(receive("\x02 OK #"), 1);
    EXPECT_EQ(ch_->rxFrame.ioErrCode, RX_ERR_CHECKSUM);
}

TEST_F(FrameTest, DumpShowsAtMost32Bytes) {
    const std::string text = "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15";
    ASSERT_EQ(receive(frame(text)), 1);
    std::string dump;
    for (int i = 0; i < 32; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X,", static_cast<unsigned char>(frame(text)[i]));
        dump += hex;
    }
    EXPECT_TRUE(traced("[5] RecvMSG: (" + std::to_string(frame(text).size() - 1) + ") " + dump));
}

TEST_F(FrameTest, QuietPortYieldsNothing) {
    bool waited = false;
    EXPECT_EQ(receiveFrame(ch_.get()), 0);  // nothing waiting: no read at all
    EXPECT_EQ(receiveFrameWaiting(ch_.get(), &waited), 0);
    EXPECT_TRUE(waited);
    EXPECT_EQ(ch_->rxFrame.ioErrCode, 0u);
    EXPECT_EQ(ch_->state.load(), ST_IDLE);
}

TEST_F(FrameTest, LeadByteWhileIdleStartsAReplyWait) {
    ASSERT_EQ(receive(frame("12 ACT")), 1);
    EXPECT_EQ(ch_->state.load(), ST_REPLY);
    EXPECT_EQ(ch_->timeoutMs.load(), REPLY_TIMEOUT_MS);
    ch_->state.store(ST_SENDING);
    ASSERT_EQ(receive(frame("12 ACT")), 1);
    EXPECT_EQ(ch_->state.load(), ST_SENDING);
}

// The receiver thread hands good frames over without the blank before "#", and bad ones
// as error buffers.
TEST_F(FrameTest, ReceiverQueuesFramesAndFailures) {
    V6Channel &c = *ch_;
    destroyBufferPool(&c, POOL_SIZE);
    pooled_ = false;
    ASSERT_EQ(startLowLevel(&c), 1);
    EXPECT_EQ(startLowLevel(&c), 0);

    auto next = [&]() -> V6Buffer * {
        for (int i = 0; i < 300; ++i) {
            if (V6Buffer *b = takeBuf(&c, &c.rxQueue)) return b;
            usleep(10000);
        }
        return nullptr;
    };
    port->write(kOk);
    V6Buffer *b = next();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->length, 4);
    EXPECT_EQ(std::string(b->data, 5), std::string("\x02 OK\0", 5));
    EXPECT_EQ(b->ioErrCode, 0u);
    insBuf(&c, &c.freeQueue, b);

    port->write("\x02 OK # 1 \r\n");
    b = next();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->ioErrGroup, 0u);
    EXPECT_EQ(b->ioErrCode, RX_ERR_CHECKSUM);
    EXPECT_EQ(b->ioErrSub, 0u);
    insBuf(&c, &c.freeQueue, b);

    // Left in the queue on purpose: the stop gives it back before freeing the pool.
    port->write(kOk);
    auto queued = [&] {
        plat::enterCriticalSection(&c.queueLock);
        const bool any = c.rxQueue != nullptr;
        plat::leaveCriticalSection(&c.queueLock);
        return any;
    };
    for (int i = 0; i < 300 && !queued(); ++i) usleep(10000);
    ASSERT_EQ(stopLowLevel(&c), 1);
    EXPECT_EQ(c.lowLevelRunning.load(), 0u);
    EXPECT_FALSE(traced("Some buffers lost from pool"));
    EXPECT_TRUE(traced("LowLevel stopped"));
    EXPECT_EQ(countTraced("Thread stopped successfully"), 2);
    EXPECT_TRUE(traced("[5] RX stopped successfully"));
    EXPECT_EQ(stopLowLevel(&c), 1);
}
