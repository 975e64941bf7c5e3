// The buffer pool and its queues.
#include "v6_fixture.h"

using namespace v6;

TEST_F(V6Test, QueuesKeepTheirOrder) {
    V6Channel &c = *ch_;
    EXPECT_EQ(takeBuf(&c, &c.txQueue), nullptr);
    V6Buffer *a = takeBuf(&c, &c.freeQueue), *b = takeBuf(&c, &c.freeQueue), *d = takeBuf(&c, &c.freeQueue);
    EXPECT_EQ(a->next, V6_NOT_QUEUED);
    appBuf(&c, &c.txQueue, a);
    EXPECT_EQ(a->next, nullptr);
    appBuf(&c, &c.txQueue, b);
    appBuf(&c, &c.txQueue, d);
    EXPECT_EQ(takeBuf(&c, &c.txQueue), a);  // first in, first out
    EXPECT_EQ(takeBuf(&c, &c.txQueue), b);
    EXPECT_EQ(takeBuf(&c, &c.txQueue), d);
    for (V6Buffer *x : {a, b, d}) insBuf(&c, &c.freeQueue, x);
    EXPECT_EQ(takeBuf(&c, &c.freeQueue), d);  // the free queue is a stack
    insBuf(&c, &c.rxQueue, d);
    appBuf(&c, &c.txDoneQueue, takeBuf(&c, &c.freeQueue));
    EXPECT_EQ(flushQueue(&c, &c.txQueue, &c.freeQueue), 0);
    flushChannelQueues(&c);  // TearDown counts all 20 back
    EXPECT_FALSE(traced("insBuf() Queue error"));
}

TEST_F(V6Test, MisusedBuffersAreReportedAndNeverLoopAQueue) {
    V6Channel &c = *ch_;
    V6Buffer *a = takeBuf(&c, &c.freeQueue), *b = takeBuf(&c, &c.freeQueue);
    a->next = nullptr;
    insBuf(&c, &c.rxQueue, a);
    EXPECT_TRUE(traced("insBuf() Queue error"));
    b->next = a;
    appBuf(&c, &c.rxQueue, b);  // linked all the same
    EXPECT_TRUE(traced("appBuf() Queue error"));
    appBuf(&c, &c.rxQueue, a);  // already in this queue: linking it again would loop
    EXPECT_EQ(flushQueue(&c, &c.rxQueue, &c.freeQueue), 2);

    V6Buffer *held = takeBuf(&c, &c.freeQueue);
    clearBuffer(held);
    EXPECT_EQ(held->data[V6_DATA_SIZE - 1], ' ');
    EXPECT_EQ(destroyBufferPool(&c, POOL_SIZE), 0);  // one short
    delete held;
    pooled_ = false;
}
