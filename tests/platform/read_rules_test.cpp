// The v6 receiver where the host's readComm follows Windows read rules: an interval-only
// read with nothing arriving waits for its first byte with no limit. For the receiver's
// one-byte reads the Linux runtime does the same with all read time-outs 0 (a read waits
// until its byte comes), so these run on Linux against a real pty.
#include <chrono>
#include <future>

#include "v6/v6_fixture.h"

using namespace v6;

namespace {

using Clock = std::chrono::steady_clock;

// A read waits for its byte however long that takes.
CommTimeouts unboundedFirstByte() { return CommTimeouts{0, 0, 0, 100, 200}; }

class ReadRulesTest : public V6Test {
protected:
    // Stops the receiver and transmitter; true when that took less than `ms`. A receiver
    // that hangs in a read is freed by an LF afterwards, so that the test ends either way.
    bool stopsWithin(PtyPort &port, int ms) {
        auto stop = std::async(std::launch::async, [this] { return stopLowLevel(ch_.get()); });
        const bool inTime = stop.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
        if (!inTime) port.write("\n");
        EXPECT_EQ(stop.get(), 1);
        pooled_ = false;
        return inTime;
    }
};

}  // namespace

// Frames that end with CR alone end by the line's silence; the receiver reads the next
// frame as well (it does not sit in a read waiting for the LF), and stops at once.
TEST_F(ReadRulesTest, CrOnlyFramesEndBySilence) {
    V6Channel &c = *ch_;
    ASSERT_EQ(destroyBufferPool(&c, POOL_SIZE), 1);
    PtyPort port(kChan, unboundedFirstByte());
    ASSERT_EQ(startLowLevel(&c), 1);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const auto start = Clock::now();
        port.write("\x02 OK # 218 \r");
        V6Buffer *b = nextQueued(&c, 4000);
        ASSERT_NE(b, nullptr) << "a CR-only frame was never handed over";
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_GE(ms, 1900);  // the silence that ends it
        EXPECT_EQ(b->ioErrCode, 0u);
        EXPECT_EQ(std::string(b->data, 5), std::string("\x02 OK\0", 5));
        insBuf(&c, &c.freeQueue, b);
    }
    EXPECT_TRUE(stopsWithin(port, 500));
    EXPECT_TRUE(traced("[5] RX stopped successfully"));
}

// A station that stops in the middle of a frame: after the silence nothing is handed
// over as a frame, a stop during the silence ends the read at once, and the next whole
// frame is read as usual.
TEST_F(ReadRulesTest, FrameCutOffMidwayNeitherBlocksNorPasses) {
    V6Channel &c = *ch_;
    ASSERT_EQ(destroyBufferPool(&c, POOL_SIZE), 1);
    PtyPort port(kChan, unboundedFirstByte());
    ASSERT_EQ(startLowLevel(&c), 1);
    port.write("\x02 12 34");
    EXPECT_EQ(nextQueued(&c, 3000), nullptr);  // no "#": dropped quietly
    port.write("\x02 OK # 218 \r\n");
    V6Buffer *b = nextQueued(&c, 2000);
    ASSERT_NE(b, nullptr) << "the receiver did not come back after the cut-off frame";
    EXPECT_EQ(b->ioErrCode, 0u);
    EXPECT_EQ(std::string(b->data, 4), "\x02 OK");
    insBuf(&c, &c.freeQueue, b);

    port.write("\x02 56");  // cut off again; the stop comes during the silence
    usleep(200000);
    EXPECT_TRUE(stopsWithin(port, 500));
}
