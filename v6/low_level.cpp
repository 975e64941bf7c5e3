// Start and stop of a channel's low-level part: the buffer pool, the receiver and the
// transmitter, which exist together from startLowLevel to stopLowLevel.
#include "driver/engines.h"
#include "driver/lifecycle.h"
#include "driver/state.h"
#include "platform/systime.h"
#include "v6/v6.h"

namespace v6 {
namespace {

constexpr uint32_t EVT_V6_POOL_FAILED = 0xC2100B56u;
constexpr uint32_t EVT_V6_TX_RESUME_FAILED = 0xC20D0838u;
constexpr uint32_t EVT_V6_RX_RESUME_FAILED = 0xC20D0839u;

int channelOf(const V6Channel *ch) { return static_cast<int>(ch->channelNo); }

// A thread that was created but will never run is released and forgotten.
void dropThread(plat::ThreadHandle *h) {
    if (*h == nullptr) return;
    plat::terminateThread(*h, LOW_LEVEL_THREAD_EXIT);
    plat::closeHandle(*h);
    *h = nullptr;
}

}  // namespace

int32_t startLowLevel(V6Channel *ch) {
    if (ch->lowLevelRunning.load() == 1) return 0;
    // The pool is new: nothing from an earlier run may stay linked or held.
    ch->freeQueue = ch->rxQueue = ch->txQueue = ch->txDoneQueue = nullptr;
    ch->replyBuffer = nullptr;
    ch->parseCursor = nullptr;
    if (!createBufferPool(ch, POOL_SIZE)) {
        logEvent(-1, EVT_V6_POOL_FAILED, 0, HYDRIX_SOURCE, __LINE__, 0, 0, "%d", channelOf(ch));
        destroyBufferPool(ch, POOL_SIZE);
        return 0;
    }
    if (!initOverlapped(&ch->overlapped)) {
        destroyBufferPool(ch, POOL_SIZE);
        return 0;
    }
    clearBuffer(&ch->rxFrame);
    ch->pauseIo.store(0);
    ch->rxPaused.store(0);
    ch->txPaused.store(0);
    markThreadEnded(ch, Sleeper::Transmitter, false);
    markThreadEnded(ch, Sleeper::Receiver, false);

    ch->txThread = plat::createThreadSuspended(transmitterThread, ch);
    ch->rxThread = plat::createThreadSuspended(receiverThread, ch);
    if (ch->txThread == nullptr || ch->rxThread == nullptr) {
        dropThread(&ch->txThread);
        dropThread(&ch->rxThread);
        destroyBufferPool(ch, POOL_SIZE);
        return 0;
    }
    ch->stopTx.store(0, std::memory_order_release);
    ch->stopRx.store(0, std::memory_order_release);
    if (plat::resumeThread(ch->rxThread) < 0)
        logEvent(-1, EVT_V6_RX_RESUME_FAILED, plat::getLastError(), HYDRIX_SOURCE, __LINE__, 0, 0, "%d", channelOf(ch));
    if (plat::resumeThread(ch->txThread) < 0)
        logEvent(-1, EVT_V6_TX_RESUME_FAILED, plat::getLastError(), HYDRIX_SOURCE, __LINE__, 0, 0, "%d", channelOf(ch));
    ch->lowLevelRunning.store(1, std::memory_order_release);
    return 1;
}

int32_t stopLowLevel(V6Channel *ch) {
    if (ch->lowLevelRunning.load() == 0) return 1;
    // Raise both flags first and wake both threads, so they wind down together.
    ch->stopTx.store(1, std::memory_order_release);
    ch->stopRx.store(1, std::memory_order_release);
    wake(ch, Sleeper::Transmitter);
    wake(ch, Sleeper::Receiver);
    stopThread(&ch->txThread, &ch->stopTx, LOW_LEVEL_THREAD_EXIT, true);
    stopThread(&ch->rxThread, &ch->stopRx, LOW_LEVEL_THREAD_EXIT, true);

    bool allBack = false;
    if (threadEnded(ch, Sleeper::Transmitter) && threadEnded(ch, Sleeper::Receiver)) {
        // Both threads are gone: whatever is still queued, and a reply a parser kept,
        // belongs to nobody now and goes back to the pool before it is freed.
        flushChannelQueues(ch);
        if (ch->replyBuffer != nullptr) {
            insBuf(ch, &ch->freeQueue, ch->replyBuffer);
            ch->replyBuffer = nullptr;
            ch->parseCursor = nullptr;
        }
        allBack = destroyBufferPool(ch, POOL_SIZE) != 0;
    }
    // A thread that had to be abandoned may still use the buffers: they are left alone.
    if (!allBack) textOutput("Some buffers lost from pool");
    ch->lowLevelRunning.store(0, std::memory_order_release);
    textOutput("LowLevel stopped");
    return 1;
}

}  // namespace v6
