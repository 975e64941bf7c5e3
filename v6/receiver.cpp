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
// Bytes of an overlong frame dropped at most while looking for its end.
constexpr long MAX_OVERLONG_SKIP = 1L << 16;
// Longest idle wait on a quiet port; bytes, stops and pause requests end it at once.
constexpr uint32_t RX_IDLE_WAIT_MS = 1000;
// Silence that ends a frame with no LF: the interval time-out of the channel's port. The
// receiver measures it itself, as under Windows read rules a read with nothing arriving
// waits for its first byte with no limit.
constexpr uint32_t RX_SILENCE_MS = 2000;
constexpr int DUMP_BYTES = 32;
constexpr size_t DUMP_CHARS = 95;
constexpr uint32_t PURGE_ALL =
    plat::COMM_PURGE_TXABORT | plat::COMM_PURGE_RXABORT | plat::COMM_PURGE_TXCLEAR | plat::COMM_PURGE_RXCLEAR;

int channelOf(const V6Channel *ch) { return static_cast<int>(ch->channelNo); }

// What a read attempt found on the port.
enum class PortState {
    NoPort,  // no valid handle, or its status could not be read
    Quiet,   // nothing waiting
    Read     // bytes were read, or a line error was taken
};

void traceReceived(const V6Channel *ch, const char *data, int count) {
    char dump[DUMP_BYTES * 3 + 1] = "";
    size_t used = 0;
    for (int i = 0; i < count && i < DUMP_BYTES && used < DUMP_CHARS; ++i)
        used += static_cast<size_t>(
            std::snprintf(dump + used, sizeof dump - used, "%02X,", static_cast<unsigned char>(data[i])));
    textOutputParm("[%d] RecvMSG: (%d) %s", channelOf(ch), count, dump);
}

// A lead byte seen while the channel is idle starts a reply wait, so that frames nobody
// asked for (a station's ACT, an MRC) reach the reply step. Only an idle channel is
// moved: the channel thread may have left idle meanwhile.
void startUnsolicitedWait(V6Channel *ch) {
    if (ch->state.load() != ST_IDLE) return;
    noteReplyWait(ch, false);
    ch->timeoutMs.store(REPLY_TIMEOUT_MS);
    ch->startTick.store(plat::getTickCount());
    uint32_t idle = ST_IDLE;
    ch->state.compare_exchange_strong(idle, ST_REPLY);
}

// What readOne returns when the receiver is told to stop or to keep off the port: the
// bytes gathered so far are dropped.
constexpr int32_t READ_ABANDONED = -1000;

// The limit was reached before the frame's end. The rest of the frame is read and
// dropped up to its LF (or silence), so that it does not come as a frame of its own (with
// no lead byte: a line failure, tried again for ever against the same long reply). When
// the bytes kept hold the "#", the frame ends within them and is checked as usual.
// Otherwise it is too long for the engine: rxFrame carries RX_ERR_TOO_LONG and the
// channel ends the exchange with a failure the host sees, once, as asking again would
// bring the same reply. Returns the count of bytes to look at (0: none).
template <typename ReadOne>
int skipOverlongRest(V6Channel *ch, ReadOne readOne, int kept) {
    V6Buffer &f = ch->rxFrame;
    char scratch = 0;
    for (long dropped = 0; dropped < MAX_OVERLONG_SKIP; ++dropped) {
        const int32_t r = readOne(&scratch);
        if (r <= 0 || scratch == LF) break;
    }
    f.ioErrGroup = f.ioErrCode = f.ioErrSub = 0;
    if (std::memchr(f.data, '#', static_cast<size_t>(kept)) != nullptr) return kept;
    textOutputParm("[%d] Low level error RX frame longer than %d bytes", channelOf(ch), MAX_FRAME_READ);
    f.ioErrCode = RX_ERR_TOO_LONG;
    return 0;
}

// Reads bytes into rxFrame one at a time until an LF, silence (a read of 0), a failure or
// the limit; a DC3 is dropped (the next byte takes its place). `readOne` reads one byte
// to the address given: 1, 0 when nothing more came, negative on failure, or
// READ_ABANDONED. Returns the byte count (the bytes kept and the one position behind
// them), or 0 when nothing came at all or the read was abandoned.
template <typename ReadOne>
int collectBytes(V6Channel *ch, ReadOne readOne) {
    V6Buffer &f = ch->rxFrame;
    int n = 0;
    bool gotByte = false;
    while (n < MAX_FRAME_READ) {
        const int32_t r = readOne(&f.data[n]);
        if (r == READ_ABANDONED) {
            f.ioErrGroup = f.ioErrCode = f.ioErrSub = 0;
            return 0;
        }
        if (r < 0) {
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
    if (n >= MAX_FRAME_READ && (n = skipOverlongRest(ch, readOne, n)) == 0) return 0;
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

// Waits up to `ms` for input on the port, looking at the stop and at a pause request
// every polling interval. True when input waits (or the port is in trouble); false after
// `ms` of silence or as soon as the receiver must stop or pause.
bool inputWithin(V6Channel *ch, CommHandle h, uint32_t ms) {
    const uint32_t start = plat::getTickCount();
    for (;;) {
        if (ch->stopRx.load() != 0 || ch->pauseIo.load() != 0) return false;
        const uint32_t elapsed = plat::getTickCount() - start;
        if (elapsed >= ms) return false;
        const uint32_t left = ms - elapsed;
        if (plat::waitCommInput(h, left < RX_POLL_MS ? left : RX_POLL_MS)) return true;
    }
}

// Reads, frames and checks, but only when bytes wait on the port; *port tells the
// receiver what it found there.
int32_t readFrame(V6Channel *ch, PortState *port) {
    V6Buffer &f = ch->rxFrame;
    *port = PortState::NoPort;
    // Each attempt reports only its own failure.
    f.ioErrGroup = f.ioErrCode = f.ioErrSub = 0;
    const CommHandle h = getCommHandle(static_cast<int32_t>(ch->channelNo));
    if (h == COMM_HANDLE_INVALID) return 0;
    f.length = 0;

    uint32_t errors = 0;
    plat::CommStat stat{};
    if (plat::clearCommError(h, &errors, &stat) == 0) return 0;
    *port = PortState::Read;
    if (errors != 0) {
        f.ioErrGroup = RX_ERR_LINE_GROUP;
        f.ioErrCode = RX_ERR_LINE;
        f.ioErrSub = errors;
        plat::purgeComm(h, PURGE_ALL);
        textOutputParm("[%d] Low level error RX(3,%d)", channelOf(ch), static_cast<int>(errors));
        return 0;
    }
    if (stat.cbInQue == 0) {
        *port = PortState::Quiet;
        return 0;
    }
    bool first = true;
    const int count = collectBytes(ch, [&](char *to) -> int32_t {
        // The first byte is known to wait; each later one is read only once it has come,
        // or once the port reports trouble (the read then says what), so that no read
        // waits for a byte that never comes. A stop or a pause request ends a frame that
        // is still coming in.
        if (!first && !inputWithin(ch, h, RX_SILENCE_MS)) {
            if (ch->stopRx.load() != 0 || ch->pauseIo.load() != 0) return READ_ABANDONED;
            return 0;
        }
        first = false;
        if (ch->stopRx.load() != 0 || ch->pauseIo.load() != 0) return READ_ABANDONED;
        return readComm(h, &ch->overlapped, 0, to, 1, &f.ioErrGroup, &f.ioErrCode);
    });
    return count > 0 ? checkFrame(ch, count) : 0;
}

}  // namespace

int32_t frameFromBytes(V6Channel *ch, const char *bytes, int size) {
    V6Buffer &f = ch->rxFrame;
    f.ioErrGroup = f.ioErrCode = f.ioErrSub = 0;
    f.length = 0;
    int at = 0;
    const int count = collectBytes(ch, [&](char *to) {
        if (at >= size) return 0;
        *to = bytes[at++];
        return 1;
    });
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

int32_t receiveFrame(V6Channel *ch) {
    PortState port;
    return readFrame(ch, &port);
}

uint32_t receiverThread(void *arg) {
    auto *ch = static_cast<V6Channel *>(arg);
    // Set when the port last woke the receiver for input: a port that says it is readable
    // yet has nothing waiting (a hung-up line can) is then only looked at every polling
    // interval, instead of waking the receiver again and again.
    bool portWoke = false;
    while (ch->stopRx.load(std::memory_order_acquire) == 0) {
        if (ch->pauseIo.load() != 0) {
            if (ch->rxPaused.load() == 0) clearBuffer(&ch->rxFrame);
            ch->rxPaused.store(1);
            sleepUntilWoken(ch, Sleeper::Receiver, RX_POLL_MS);
            continue;
        }
        PortState port = PortState::NoPort;
        plat::enterCriticalSection(&ch->rxLock);
        const int32_t found = readFrame(ch, &port);
        const bool goodFrame = queueFrame(ch, found);
        plat::leaveCriticalSection(&ch->rxLock);
        ch->rxPaused.store(0);
        if (ch->stopRx.load() != 0) break;

        if (goodFrame) {
            // A short pause after each frame, as the station expects; a stop ends it.
            sleepUntilWoken(ch, Sleeper::Receiver, RX_POLL_MS);
        } else if (port == PortState::Quiet && !portWoke) {
            // The port is read only when bytes wait. Until they do the receiver sleeps on
            // the port itself, so that the first byte wakes it at once, and a stop or a
            // pause request too; the limit only bounds a missed wake-up.
            const PortWait w =
                waitForPortInput(ch, getCommHandle(static_cast<int32_t>(ch->channelNo)), RX_IDLE_WAIT_MS);
            portWoke = w == PortWait::Input;
            if (w == PortWait::PortTrouble) sleepUntilWoken(ch, Sleeper::Receiver, RX_POLL_MS);
        } else if (port != PortState::Read) {
            // No port, a port in trouble, or one that woke the receiver for nothing: looked
            // at again after the polling interval.
            portWoke = false;
            sleepUntilWoken(ch, Sleeper::Receiver, RX_POLL_MS);
        } else {
            portWoke = false;
        }
    }
    textOutputParm("[%d] RX stopped successfully", channelOf(ch));
    markThreadEnded(ch, Sleeper::Receiver, true);
    return 117;
}

}  // namespace v6
