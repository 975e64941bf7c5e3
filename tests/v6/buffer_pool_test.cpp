// The buffer pool and its queues.
#include <unistd.h>

#include "v6_fixture.h"

using namespace v6;

TEST_F(V6Test, QueuesKeepTheirOrderAndMarkTakenBuffers) {
    V6Channel &c = channel();
    EXPECT_EQ(takeBuf(&c, &c.txQueue), nullptr);

    V6Buffer *a = takeBuf(&c, &c.freeQueue), *b = takeBuf(&c, &c.freeQueue), *d = takeBuf(&c, &c.freeQueue);
    ASSERT_TRUE(a && b && d);
    EXPECT_EQ(a->next, V6_NOT_QUEUED);

    appBuf(&c, &c.txQueue, a);
    EXPECT_EQ(c.txQueue, a);
    EXPECT_EQ(a->next, nullptr);
    appBuf(&c, &c.txQueue, b);
    appBuf(&c, &c.txQueue, d);
    EXPECT_EQ(takeBuf(&c, &c.txQueue), a);
    EXPECT_EQ(takeBuf(&c, &c.txQueue), b);
    EXPECT_EQ(takeBuf(&c, &c.txQueue), d);
    EXPECT_EQ(d->next, V6_NOT_QUEUED);

    // freeQueue is a stack.
    insBuf(&c, &c.freeQueue, a);
    insBuf(&c, &c.freeQueue, b);
    insBuf(&c, &c.freeQueue, d);
    EXPECT_EQ(takeBuf(&c, &c.freeQueue), d);
    EXPECT_EQ(takeBuf(&c, &c.freeQueue), b);
    EXPECT_EQ(takeBuf(&c, &c.freeQueue), a);
    for (V6Buffer *x : {a, b, d}) insBuf(&c, &c.freeQueue, x);
    EXPECT_TRUE(traces().empty());
}

TEST_F(V6Test, BufferStillMarkedQueuedIsReportedAndLinkedAnyway) {
    V6Channel &c = channel();
    V6Buffer *a = takeBuf(&c, &c.freeQueue), *b = takeBuf(&c, &c.freeQueue);
    a->next = nullptr;
    insBuf(&c, &c.rxQueue, a);
    EXPECT_TRUE(traced("insBuf() Queue error"));
    EXPECT_EQ(c.rxQueue, a);

    b->next = a;  // looks like it is in a queue
    appBuf(&c, &c.rxQueue, b);
    EXPECT_TRUE(traced("appBuf() Queue error"));
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(b->next, nullptr);

    // Linking a buffer into the queue that already holds it would close a loop.
    appBuf(&c, &c.rxQueue, a);
    EXPECT_EQ(countTraced("appBuf() Queue error"), 2);
    EXPECT_EQ(flushQueue(&c, &c.rxQueue, &c.freeQueue), 2);
}

TEST_F(V6Test, FlushMovesEveryQueueBackToTheFreeQueue) {
    V6Channel &c = channel();
    EXPECT_EQ(flushQueue(&c, &c.rxQueue, &c.freeQueue), 0);
    appBuf(&c, &c.rxQueue, takeBuf(&c, &c.freeQueue));
    appBuf(&c, &c.rxQueue, takeBuf(&c, &c.freeQueue));
    appBuf(&c, &c.txQueue, takeBuf(&c, &c.freeQueue));
    insBuf(&c, &c.txDoneQueue, takeBuf(&c, &c.freeQueue));
    flushChannelQueues(&c);
    EXPECT_EQ(c.rxQueue, nullptr);
    EXPECT_EQ(c.txQueue, nullptr);
    EXPECT_EQ(c.txDoneQueue, nullptr);
    // TearDown checks that all 20 are back.
}

TEST_F(V6Test, DestroyFreesOnlyWhatIsBackAndReportsTheLoss) {
    V6Channel &c = channel(false);
    ASSERT_EQ(createBufferPool(&c, POOL_SIZE), 1);
    V6Buffer *held = takeBuf(&c, &c.freeQueue);
    clearBuffer(held);
    EXPECT_EQ(held->length, 0);
    EXPECT_EQ(std::string(held->data, 3), "   ");
    EXPECT_EQ(held->data[V6_DATA_SIZE - 1], ' ');
    EXPECT_EQ(destroyBufferPool(&c, POOL_SIZE), 0);
    EXPECT_EQ(c.freeQueue, nullptr);
    delete held;

    ASSERT_EQ(createBufferPool(&c, POOL_SIZE), 1);
    EXPECT_EQ(destroyBufferPool(&c, POOL_SIZE), 1);
}
