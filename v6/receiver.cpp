// The receiver thread: reads the port byte by byte, finds one frame at a time, checks it
// and queues it (or the reason it failed) on rxQueue for the channel thread.
#include <cstdio>
#include <cstring>

#include "platform/comm_status.h"
#include "platform/ticks.h"
#include "v6/v6.h"

namespace v6 {
namespace {

constexpr uint32_t RX_POLL_MS = 50;
constexpr int DUMP_BYTES = 32;
constexpr size_t DUMP_CHARS = 95;
constexpr uint32_t PURGE_ALL =
    plat::COMM_PURGE_TXABORT | plat::COMM_PURGE_RXABORT | plat::COMM_PURGE_TXCLEAR | plat::COMM_PURGE_RXCLEAR;

int channelOf(const V6Channel *ch) { return static_cast<int>(ch->channelNo); }

void traceReceived(const V6Channel *ch, const char *data, int count) {
    char dump[DUMP_BYTES * 3 + 1] = "";
    size_t used = 0;
    for (int i = 0; i < count && i < DUMP_BYTES && used < DUMP_CHARS; ++i)
        used += static_cast<size_t>(std::snprintf(dump + used, sizeof dump - used, "%02X,",
                                                  static_cast<unsigned char>(data[i])));
    textOutputParm("[%d] RecvMSG: (%d) %s", channelOf(ch), count, dump);
}

// A lead byte seen while the channel is idle starts a reply wait, so that frames nobody
// asked for (a station's ACT, an MRC) reach the reply step. Only an idle channel is
// moved: the channel thread may have left idle meanwhile.
void startUnsolicitedWait(V6Channel *ch) {
    if (ch->state.load() != ST_IDLE) return;
    ch->timeoutMs.store(REPLY_TIMEOUT_MS);
    ch->startTick.store(plat::getTickCount());
    uint32_t idle = ST_IDLE;
    ch->state.compare_exchange_strong(idle, ST_REPLY);
}

// Reads bytes into rxFrame one at a time until an LF, silence (a read of 0), a failure or
// the limit; a DC3 is dropped (the next byte takes its place). `readOne` reads one byte
// to the address given: 1, 0 when nothing more came, negative on failure. Returns the
// byte count (the bytes kept and the one position behind them), or 0 when nothing came
// at all or the first read of a port that had nothing waiting failed.
template <typename ReadOne>
int collectBytes(V6Channel *ch, ReadOne readOne, bool quietFirstFailure) {
    V6Buffer &f = ch->rxFrame;
    int n = 0;
    bool gotByte = false;
    while (n < MAX_FRAME_READ) {
        const int32_t r = readOne(&f.data[n]);
        if (r < 0) {
            // While only waiting for a first byte, a failing port is treated like a quiet
            // one, as it would be had its empty input queue been looked at instead.
            if (quietFirstFailure && !gotByte) {
                f.ioErrGroup = f.ioErrCode = 0;
                return 0;
            }
            textOutputParm("[%d] Low level error RX(4c) %d", channelOf(ch), static_cast<int>(f.ioErrCode));
            break;
        }
        if (r == 0) {
            f.ioErrCode = 0;
            break;
        }
        gotByte = true;
        if (f.data[n] == DC3) continue;
        if (f.data[n] == LF) break;
        ++n;
    }
    // Nothing came: no frame, and nothing stale in the buffer is looked at.
    return gotByte ? n + 1 : 0;
}

// Finds the frame among `count` bytes read into rxFrame and checks it.
int32_t checkFrame(V6Channel *ch, int count) {
    V6Buffer &f = ch->rxFrame;
    int lead = -1;
    for (int i = 0; i < count; ++i) {
        if (f.data[i] == STX || f.data[i] == SOH) {
            lead = i;
            break;
        }
    }
    if (lead < 0) {
        textOutputParm("[%d] Low level error No STX or SOH", channelOf(ch));
        f.ioErrCode = RX_ERR_NO_LEAD;
        return 0;
    }
    startUnsolicitedWait(ch);
    std::memmove(f.data, f.data + lead, static_cast<size_t>(count - lead));
    count -= lead;

    for (int i = 0; i < count; ++i) {
        if (f.data[i] == CR) {
            count = i + 1;
            break;
        }
    }
    traceReceived(ch, f.data, count);

    const void *mark = std::memchr(f.data, '#', static_cast<size_t>(count));
    if (mark == nullptr) {
        f.ioErrCode = 0;
        return 0;
    }
    const int hash = static_cast<int>(static_cast<const char *>(mark) - f.data);
    const int32_t received = boundedAtoi(f.data + hash + 2, f.data + count);
    const uint32_t computed = frameChecksum(f.data + 1, hash - 1);
    if (static_cast<uint16_t>(received) != static_cast<uint16_t>(computed)) {
        f.ioErrCode = RX_ERR_CHECKSUM;
        textOutputParm("Error CRC RX:%d Calc:%d", static_cast<int>(received), static_cast<int>(computed));
    } else {
        f.ioErrCode = 0;
    }
    f.length = hash;
    return 1;
}

// Reads, frames and checks. With mayWait set, a port with nothing waiting is read all
// the same: the first one-byte read then blocks until a byte comes or the port's read
// time-outs end it, which makes the read itself the receiver's idle wait.
int32_t readFrame(V6Channel *ch, bool mayWait, bool *waited) {
    V6Buffer &f = ch->rxFrame;
    if (waited != nullptr) *waited = false;
    // Each attempt reports only its own failure.
    f.ioErrGroup = f.ioErrCode = f.ioErrSub = 0;
    const CommHandle h = getCommHandle(static_cast<int32_t>(ch->channelNo));
    if (h == COMM_HANDLE_INVALID) return 0;
    f.length = 0;

    uint32_t errors = 0;
    plat::CommStat stat{};
    plat::clearCommError(h, &errors, &stat);
    if (errors != 0) {
        f.ioErrGroup = RX_ERR_LINE_GROUP;
        f.ioErrCode = RX_ERR_LINE;
        f.ioErrSub = errors;
        plat::purgeComm(h, PURGE_ALL);
        textOutputParm("[%d] Low level error RX(3,%d)", channelOf(ch), static_cast<int>(errors));
        return 0;
    }
    const bool blocking = stat.cbInQue == 0;
    if (blocking) {
        if (!mayWait) return 0;
        if (waited != nullptr) *waited = true;
    }
    const int count = collectBytes(
        ch, [&](char *to) { return readComm(h, &ch->overlapped, 0, to, 1, &f.ioErrGroup, &f.ioErrCode); },
        blocking);
    return count > 0 ? checkFrame(ch, count) : 0;
}

}  // namespace

int32_t frameFromBytes(V6Channel *ch, const char *bytes, int size) {
    V6Buffer &f = ch->rxFrame;
    f.ioErrGroup = f.ioErrCode = f.ioErrSub = 0;
    f.length = 0;
    int at = 0;
    const int count = collectBytes(
        ch,
        [&](char *to) {
            if (at >= size) return 0;
            *to = bytes[at++];
            return 1;
        },
        false);
    return count > 0 ? checkFrame(ch, count) : 0;
}

namespace {

// Hands what receiveFrame left in rxFrame to the channel thread. True for a good frame.
bool queueFrame(V6Channel *ch, int32_t found) {
    V6Buffer &f = ch->rxFrame;
    if (found != 1 && f.ioErrCode == 0) return false;
    V6Buffer *buf = takeBuf(ch, &ch->freeQueue);
    if (buf == nullptr) {
        textOutputParm("[%d] Out of buffers in RX", channelOf(ch));
        return false;
    }
    clearBuffer(buf);
    if (f.ioErrCode == 0) {
        // The text runs from the lead byte to the byte before "#", which becomes the end.
        const int n = f.length;
        std::memcpy(buf->data, f.data, static_cast<size_t>(n));
        buf->length = n - 1;
        buf->data[n - 1] = '\0';
        appBuf(ch, &ch->rxQueue, buf);
        clearBuffer(&f);
        return true;
    }
    buf->ioErrGroup = f.ioErrGroup;
    buf->ioErrCode = f.ioErrCode;
    buf->ioErrSub = f.ioErrSub;
    clearBuffer(&f);
    appBuf(ch, &ch->rxQueue, buf);
    return false;
}

}  // namespace

int32_t receiveFrame(V6Channel *ch) { return readFrame(ch, false, nullptr); }

int32_t receiveFrameWaiting(V6Channel *ch, bool *waited) { return readFrame(ch, true, waited); }

uint32_t receiverThread(void *arg) {
    auto *ch = static_cast<V6Channel *>(arg);
    while (ch->stopRx.load(std::memory_order_acquire) == 0) {
        const uint32_t passStart = plat::getTickCount();
        bool goodFrame = false;
        if (ch->pauseIo.load() != 0) {
            if (ch->rxPaused.load() == 0) clearBuffer(&ch->rxFrame);
            ch->rxPaused.store(1);
        } else {
            bool waited = false;
            plat::enterCriticalSection(&ch->rxLock);
            const int32_t found = receiveFrameWaiting(ch, &waited);
            goodFrame = queueFrame(ch, found);
            plat::leaveCriticalSection(&ch->rxLock);
            ch->rxPaused.store(0);
        }
        if (goodFrame) sleepUntilWoken(ch, Sleeper::Receiver, RX_POLL_MS);
        // A pass lasts at least the polling interval; a read that blocked has already
        // waited that long, or was ended early by arriving bytes.
        const uint32_t spent = plat::ticksSince(passStart, plat::getTickCount());
        if (spent < RX_POLL_MS && ch->stopRx.load() == 0)
            sleepUntilWoken(ch, Sleeper::Receiver, RX_POLL_MS - spent);
    }
    textOutputParm("[%d] RX stopped successfully", channelOf(ch));
    markThreadEnded(ch, Sleeper::Receiver, true);
    return 117;
}

}  // namespace v6
