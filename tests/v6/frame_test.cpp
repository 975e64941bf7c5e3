// Frames from the line: checksum, assembly in the receiver's buffer, and what the
// receiver thread queues for the channel thread.
#include "v6_fixture.h"

using namespace v6;

namespace {

const std::string kOk = "\x02 OK # 218 \r\n";

// A v6 frame as a station sends it, with its checksum off by `checkDelta`.
std::string frame(const std::string &text, int checkDelta = 0) {
    const std::string inner = " " + text + " ";
    const int check = static_cast<int>(frameChecksum(inner.data(), static_cast<int>(inner.size())));
    return "\x02" + inner + "# " + std::to_string(check + checkDelta) + " \r\n";
}

}  // namespace

TEST(V6Checksum, SumsUnsignedBytesAndFoldsTheUpperHalf) {
    EXPECT_EQ(frameChecksum("abc", 3), 294u);
    const std::string big(160, '\xFA');  // 160 x 250 = 40000
    EXPECT_EQ(frameChecksum(big.data(), 160), 25536u);
}

TEST_F(V6Test, FramesAreFoundCutAndChecked) {
    const V6Buffer &f = ch_->rxFrame;
    for (const std::string &bytes : {kOk, "\x13" + kOk, "junk\x13 x" + kOk, std::string("\x02 O\x13K # 218 \r\n"),
                                     std::string("\x02 OK # 218 \r"), std::string("\x02 OK # 218 \rtail\n")}) {
        SCOPED_TRACE(bytes);
        ASSERT_EQ(frameFromBytes(ch_.get(), bytes.data(), static_cast<int>(bytes.size())), 1);
        EXPECT_EQ(f.ioErrCode, 0u);
        EXPECT_EQ(std::string(f.data, static_cast<size_t>(f.length)), "\x02 OK ");
        EXPECT_TRUE(traced("[5] RecvMSG: (12) 02,20,4F,4B,20,23,20,32,31,38,20,0D,", true));
    }
    // A frame that came in while idle opens a reply wait for it.
    EXPECT_EQ(ch_->state.load(), ST_REPLY);

    const std::string bad = frame("OK", 1);
    ASSERT_EQ(frameFromBytes(ch_.get(), bad.data(), static_cast<int>(bad.size())), 1);
    EXPECT_EQ(f.ioErrCode, RX_ERR_CHECKSUM);
    EXPECT_TRUE(traced("Error CRC RX:219 Calc:218"));
    EXPECT_EQ(frameFromBytes(ch_.get(), "no lead\r\n", 9), 0);
    EXPECT_EQ(f.ioErrCode, RX_ERR_NO_LEAD);
    EXPECT_TRUE(traced("[5] Low level error No STX or SOH"));
    EXPECT_EQ(frameFromBytes(ch_.get(), "\x02 OK 218 \r\n", 11), 0);  // no "#": dropped quietly
    EXPECT_EQ(f.ioErrCode, 0u);
}

// A frame that does not end within the 4020 bytes read: its rest is read and dropped up
// to its LF (it must not come as a frame of its own), and it is reported as too long,
// unless its "#" came within the bytes kept.
TEST_F(V6Test, OverlongFramesAreSkippedWholeAndReportedOnce) {
    const V6Buffer &f = ch_->rxFrame;
    const std::string tooLong = frame(std::string(5000, '7')) + kOk;
    ASSERT_EQ(frameFromBytes(ch_.get(), tooLong.data(), static_cast<int>(tooLong.size())), 0);
    EXPECT_EQ(f.ioErrCode, RX_ERR_TOO_LONG);
    EXPECT_TRUE(traced("[5] Low level error RX frame longer than 4020 bytes"));

    // The "#" within the limit, the checksum and line end behind it.
    std::string text(4010, '7');
    const std::string nearLimit = frame(text);
    ASSERT_GT(nearLimit.size(), 4020u);
    ASSERT_EQ(frameFromBytes(ch_.get(), nearLimit.data(), static_cast<int>(nearLimit.size())), 1);
    EXPECT_EQ(f.ioErrCode, 0u);
    EXPECT_EQ(f.length, 4013);  // the position of "#"
}

// The receiver thread over a pty: frames go to rxQueue without the blank before "#",
// failures as error buffers, and the stop returns every buffer.
TEST_F(V6Test, ReceiverQueuesFramesAndFailures) {
    V6Channel &c = *ch_;
    ASSERT_EQ(destroyBufferPool(&c, POOL_SIZE), 1);
    PtyPort port(kChan, intervalReadTimeout(40));
    EXPECT_EQ(receiveFrame(&c), 0);  // nothing waiting: no read at all
    ASSERT_EQ(startLowLevel(&c), 1);
    EXPECT_EQ(startLowLevel(&c), 0);
    auto next = [&] { return nextQueued(&c, 3000); };
    port.write(kOk);
    V6Buffer *b = next();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->length, 4);
    EXPECT_EQ(std::string(b->data, 5), std::string("\x02 OK\0", 5));
    insBuf(&c, &c.freeQueue, b);
    port.write(frame("OK", 1));
    b = next();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->ioErrCode, RX_ERR_CHECKSUM);
    appBuf(&c, &c.rxQueue, b);  // left queued on purpose: the stop takes it back

    ASSERT_EQ(stopLowLevel(&c), 1);
    EXPECT_EQ(c.lowLevelRunning.load(), 0u);
    EXPECT_FALSE(traced("Some buffers lost from pool"));
    EXPECT_TRUE(traced("LowLevel stopped"));
    EXPECT_TRUE(traced("[5] RX stopped successfully"));
    pooled_ = false;
}
