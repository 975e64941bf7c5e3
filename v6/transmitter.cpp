// The transmitter thread: writes the telegrams that the channel thread queues on txQueue
// and passes each buffer on to the queue it names (txDoneQueue) once written.
#include "platform/comm_status.h"
#include "platform/lock.h"
#include "platform/ticks.h"
#include "v6/v6.h"

namespace v6 {
namespace {

// Pause after each telegram, so that telegrams never follow each other too closely.
constexpr uint32_t TX_AFTER_SEND_MS = 50;
// Longest idle wait. Everything the transmitter waits for (a queued telegram, a pause
// request, a stop) wakes it at once, so this only bounds a missed wake-up; polling every
// millisecond instead would cost eight idle channels several percent of a core.
constexpr uint32_t TX_IDLE_WAIT_MS = 1000;
// Longest wait for the receiver to take in what the station sent before a telegram, and
// the pause between looks.
constexpr uint32_t TX_DRAIN_MAX_MS = 500;
constexpr uint32_t TX_DRAIN_POLL_MS = 2;

// Sends `buf` once everything the station sent before it has been read in and dropped.
// A reply that nobody took (a late answer to a try that had timed out, an answer sent
// twice) may still be coming in, or wait on the port while the receiver pauses after a
// frame: taken for the answer to this telegram, it would put every later answer one
// request behind, for good. The receiver holds rxLock while a frame comes in, so taking
// the lock waits that frame out; bytes still waiting wake the receiver to read them.
// A port whose bytes are not read within TX_DRAIN_MAX_MS is purged instead.
void sendAfterEarlierReplies(V6Channel *ch, V6Buffer *buf) {
    const uint32_t start = plat::getTickCount();
    for (;;) {
        plat::enterCriticalSection(&ch->rxLock);
        const CommHandle h = getCommHandle(static_cast<int32_t>(ch->channelNo));
        const bool waiting = h != COMM_HANDLE_INVALID && plat::waitCommInput(h, 0);
        const bool giveUp = plat::ticksSince(start, plat::getTickCount()) >= TX_DRAIN_MAX_MS || ch->stopTx.load() != 0;
        if (!waiting || giveUp) {
            if (waiting) plat::purgeComm(h, plat::COMM_PURGE_RXABORT | plat::COMM_PURGE_RXCLEAR);
            if (const int dropped = flushQueue(ch, &ch->rxQueue, &ch->freeQueue))
                textOutputParm("[%d] %d replies nobody took dropped before TX", static_cast<int>(ch->channelNo),
                               dropped);
            sendBuffer(buf, ch);
            plat::leaveCriticalSection(&ch->rxLock);
            return;
        }
        plat::leaveCriticalSection(&ch->rxLock);
        wake(ch, Sleeper::Receiver);
        plat::sleepMs(TX_DRAIN_POLL_MS);
    }
}

}  // namespace

int32_t sendBuffer(V6Buffer *buf, V6Channel *ch) {
    buf->ioErrGroup = buf->ioErrCode = buf->ioErrSub = 0;
    const CommHandle h = getCommHandle(static_cast<int32_t>(ch->channelNo));
    int32_t length = buf->length;
    if (length < 0) length = 0;
    if (length > V6_DATA_SIZE) length = V6_DATA_SIZE;
    if (!writeComm(h, &ch->overlapped, 0, buf->data, static_cast<uint32_t>(length), &buf->ioErrGroup,
                   &buf->ioErrCode)) {
        textOutputParm("[%d] Low level TX(4, %X)", static_cast<int>(ch->channelNo), buf->ioErrCode);
        // The failure stays with the buffer, and the channel thread fails the request with
        // the port's own triple (a pulled-out adapter is named as such at once). Taken as
        // sent, it would wait out the reply time-out on every try and then be reported as
        // a station that did not answer.
        if (buf->ioErrCode == 0) buf->ioErrCode = 1;
    }
    return 1;
}

uint32_t transmitterThread(void *arg) {
    auto *ch = static_cast<V6Channel *>(arg);
    while (ch->stopTx.load(std::memory_order_acquire) == 0) {
        if (ch->pauseIo.load() != 0) {
            ch->txPaused.store(1);
        } else {
            ch->txPaused.store(0);
            if (V6Buffer *buf = takeBuf(ch, &ch->txQueue)) {
                sendAfterEarlierReplies(ch, buf);
                insBuf(ch, buf->returnQueue != nullptr ? buf->returnQueue : &ch->freeQueue, buf);
                plat::sleepMs(TX_AFTER_SEND_MS);
                continue;
            }
        }
        sleepUntilWoken(ch, Sleeper::Transmitter, TX_IDLE_WAIT_MS);
    }
    markThreadEnded(ch, Sleeper::Transmitter, true);
    return 117;
}

}  // namespace v6
