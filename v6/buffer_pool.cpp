// The channel's line buffers and the four queues they move through. All queues of a
// channel share queueLock; every operation holds it only while it relinks.
#include <cstring>
#include <new>

#include "v6/v6.h"

namespace v6 {
namespace {

struct QueueGuard {
    explicit QueueGuard(V6Channel *c) : ch(c) { plat::enterCriticalSection(&ch->queueLock); }
    ~QueueGuard() { plat::leaveCriticalSection(&ch->queueLock); }
    QueueGuard(const QueueGuard &) = delete;
    QueueGuard &operator=(const QueueGuard &) = delete;
    V6Channel *ch;
};

bool inQueue(V6Buffer *head, const V6Buffer *buf) {
    for (int n = 0; head != nullptr && head != V6_NOT_QUEUED && n <= POOL_SIZE * 4; ++n, head = head->next)
        if (head == buf) return true;
    return false;
}

// Wakes the thread that consumes a queue: the transmitter serves txQueue, the channel
// thread rxQueue and txDoneQueue. freeQueue has no waiting consumer.
void wakeConsumer(V6Channel *ch, V6Buffer **queue) {
    if (queue == &ch->txQueue)
        wake(ch, Sleeper::Transmitter);
    else if (queue == &ch->rxQueue || queue == &ch->txDoneQueue)
        wake(ch, Sleeper::Channel);
}

}  // namespace

void clearBuffer(V6Buffer *buf) {
    buf->length = 0;
    buf->ioErrGroup = 0;
    buf->ioErrCode = 0;
    buf->ioErrSub = 0;
    std::memset(buf->data, ' ', sizeof buf->data);
}

int32_t createBufferPool(V6Channel *ch, int count) {
    for (int i = 0; i < count; ++i) {
        auto *buf = new (std::nothrow) V6Buffer;
        if (buf == nullptr) return 0;
        clearBuffer(buf);
        buf->returnQueue = nullptr;
        buf->next = V6_NOT_QUEUED;
        insBuf(ch, &ch->freeQueue, buf);
    }
    return 1;
}

int32_t destroyBufferPool(V6Channel *ch, int count) {
    int freed = 0;
    while (V6Buffer *buf = takeBuf(ch, &ch->freeQueue)) {
        delete buf;
        ++freed;
    }
    return freed == count ? 1 : 0;
}

V6Buffer *takeBuf(V6Channel *ch, V6Buffer **queue) {
    QueueGuard guard(ch);
    V6Buffer *buf = *queue;
    if (buf == nullptr) return nullptr;
    *queue = buf->next;
    buf->next = V6_NOT_QUEUED;
    return buf;
}

// A buffer pushed while it still looks queued is reported and linked all the same,
// unless it is already in this very queue: linking it again would close a loop.
void insBuf(V6Channel *ch, V6Buffer **queue, V6Buffer *buf) {
    {
        QueueGuard guard(ch);
        if (buf->next != V6_NOT_QUEUED) {
            textOutput("insBuf() Queue error");
            if (inQueue(*queue, buf)) return;
        }
        buf->next = *queue;
        *queue = buf;
    }
    wakeConsumer(ch, queue);
}

void appBuf(V6Channel *ch, V6Buffer **queue, V6Buffer *buf) {
    {
        QueueGuard guard(ch);
        if (buf->next != V6_NOT_QUEUED) {
            textOutput("appBuf() Queue error");
            if (inQueue(*queue, buf)) return;
        }
        buf->next = nullptr;
        if (*queue == nullptr) {
            *queue = buf;
        } else {
            V6Buffer *tail = *queue;
            while (tail->next != nullptr) tail = tail->next;
            tail->next = buf;
        }
    }
    wakeConsumer(ch, queue);
}

int flushQueue(V6Channel *ch, V6Buffer **from, V6Buffer **to) {
    int moved = 0;
    while (V6Buffer *buf = takeBuf(ch, from)) {
        insBuf(ch, to, buf);
        ++moved;
    }
    return moved;
}

void flushChannelQueues(V6Channel *ch) {
    flushQueue(ch, &ch->rxQueue, &ch->freeQueue);
    flushQueue(ch, &ch->txQueue, &ch->freeQueue);
    flushQueue(ch, &ch->txDoneQueue, &ch->freeQueue);
}

}  // namespace v6
