// Sending a request and reading a reply, one byte per read.

#include <atomic>
#include <cerrno>
#include <cstring>

#include "driver/state.h"
#include "platform/comm_status.h"
#include "platform/systime.h"
#include "platform/ticks.h"
#include "telegram/framing.h"

namespace tg {

namespace {

// Sizes of the printable copies in the Send and Recv trace lines.
constexpr size_t kSendDumpSize = 204, kSendDumpStop = 195;
constexpr size_t kRecvDumpSize = 2048, kRecvDumpStop = 2043;
// A reply occupies at most this many bytes, so one zero byte always stays behind it.
constexpr int32_t kMaxReply = TG_BUF_SIZE - 1;
// A port that fails every read at once would otherwise spin through the body's time
// limit; a failed read pauses this long before the next one.
constexpr uint32_t kFailedReadPauseMs = 20;

// The longest a read loop waits for input before it looks at the stop and its time
// limit again: a stop is noticed this quickly, in the middle of an exchange too.
constexpr uint32_t kInputSliceMs = 50;

// The channel whose worker runs on this thread (none on the host's threads).
thread_local const TelegramChannel *tlsWorkerOf = nullptr;

bool debugDumps() { return debugLevel.load(std::memory_order_relaxed) != 0; }

// Reads are made only when input waits, so that a read never sits out the port's own
// read time-outs (over two seconds) while a stop waits for it.
bool inputWaiting(CommHandle h, uint32_t ms) { return plat::waitCommInput(h, ms); }

// How long the next wait for input may last, for a limit counted from `start`.
uint32_t sliceUntil(uint32_t start) {
    const uint32_t elapsed = timeExpired(start);
    if (elapsed > REPLY_TIMEOUT_MS) return 0;
    const uint32_t left = REPLY_TIMEOUT_MS + 1 - elapsed;
    return left < kInputSliceMs ? left : kInputSliceMs;
}

// The exchange was abandoned (a stop): the read fails like a reply that never came.
int32_t readStopped(TelegramChannel *ch) {
    ch->pendErrCode = ERR_TIMEOUT;
    ch->pendErrSub = 0;
    ch->pendErrGroup = ERRGRP_LINE;
    textOutputParm("[C:%d] readTelegram(): Stopped", ch->channelNo);
    return 0;
}

void readFailure(TelegramChannel *ch) {
    ch->pendErrSub = plat::getLastError();
    textOutputParm("[C:%d] readTelegram(): Read Failure (%d)", ch->channelNo, static_cast<int>(ch->pendErrSub));
}

// Per channel: a reply of the worker's timed out since the last answer came.
std::atomic<bool> answerOwed[HYDRIX_CHANNELS];
// How long the line must stay quiet after an answer that may have been a late one, and
// the longest the settling may take.
constexpr uint32_t kSettleQuietMs = 300;
constexpr uint32_t kSettleMaxMs = 2000;

// Reads and drops what the station still sends, until the line has been quiet for
// kSettleQuietMs. rxBuf (the answer just read) is left as it is.
void settleLine(TelegramChannel *ch) {
    const uint32_t start = plat::getTickCount();
    uint32_t lastByte = start;
    int dropped = 0;
    while (timeExpired(lastByte) < kSettleQuietMs && timeExpired(start) < kSettleMaxMs && !exchangeAbandoned(ch)) {
        if (!inputWaiting(ch->commHandle, kInputSliceMs)) continue;
        uint8_t byte = 0;
        uint32_t group = 0, code = 0;
        if (readComm(ch->commHandle, &ch->overlapped, 0, &byte, 1, &group, &code) <= 0) break;
        lastByte = plat::getTickCount();
        ++dropped;
    }
    if (dropped > 0)
        textOutputParm("[C:%d] receiveReply(): %d bytes of an answer to an earlier try dropped", ch->channelNo,
                       dropped);
}

void readTimeout(TelegramChannel *ch, uint32_t group) {
    ch->pendErrCode = ERR_TIMEOUT;
    ch->pendErrSub = 0;
    ch->pendErrGroup = group;
    textOutputParm("[C:%d] readTelegram(): Read Timeout (%d)", ch->channelNo, static_cast<int>(REPLY_TIMEOUT_MS));
}

int32_t readByte(TelegramChannel *ch, uint8_t *where) {
    return readComm(ch->commHandle, &ch->overlapped, 0, where, 1, &ch->pendErrGroup, &ch->pendErrCode);
}

}  // namespace

void markWorkerThread(const TelegramChannel *ch) { tlsWorkerOf = ch; }

bool exchangeAbandoned(const TelegramChannel *ch) {
    if (tlsWorkerOf == ch)
        return ch->stopRequest.load(std::memory_order_acquire) != 0 || currentDriverState() != DRV_STATE_RUNNING;
    return currentDriverState() == DRV_STATE_STOPPING;
}

int32_t writeTelegram(TelegramChannel *ch) {
    if (debugDumps()) {
        char dump[kSendDumpSize];
        printableCopy(ch->txBuf, ch->txLen, dump, sizeof dump, kSendDumpStop);
        textOutputParm("Send[%02d]: %s", ch->txLen, dump);
    }
    ch->commHandle = getCommHandle(static_cast<int32_t>(ch->channelNo));
    if (ch->commHandle == COMM_HANDLE_INVALID) {
        textOutputParm("[C:%d] writeTelegram(): failed to get comm handle", ch->channelNo);
        ch->pendErrGroup = ERRGRP_NO_PORT_SEND;
        ch->pendErrCode = ERR_NO_PORT_SEND;
        ch->pendErrSub = 0;
        return 0;
    }
    uint32_t errors = 0;
    plat::CommStat stat{};
    if (plat::clearCommError(ch->commHandle, &errors, &stat) && (errors != 0 || stat.cbOutQue != 0))
        plat::purgeComm(ch->commHandle, plat::COMM_PURGE_TXABORT | plat::COMM_PURGE_TXCLEAR);
    // Whatever waits in the input now came before this telegram: a reply that came after
    // its request had timed out, or the rest of a damaged one. It is dropped, never taken
    // for the answer to this telegram.
    if (stat.cbInQue != 0) {
        textOutputParm("[C:%d] writeTelegram(): %d stale bytes dropped", ch->channelNo, static_cast<int>(stat.cbInQue));
        plat::purgeComm(ch->commHandle, plat::COMM_PURGE_RXABORT | plat::COMM_PURGE_RXCLEAR);
    }
    const int32_t len = ch->txLen < 0 ? 0 : (ch->txLen > TG_BUF_SIZE ? TG_BUF_SIZE : ch->txLen);
    const int32_t ok = writeComm(ch->commHandle, &ch->overlapped, 0, ch->txBuf, static_cast<uint32_t>(len),
                                 &ch->pendErrGroup, &ch->pendErrCode);
    return ok != 0 ? 1 : 0;
}

int32_t readTelegram(TelegramChannel *ch) { return readTelegramSince(ch, plat::getTickCount()); }

int32_t readTelegramSince(TelegramChannel *ch, uint32_t since) {
    ch->commHandle = getCommHandle(static_cast<int32_t>(ch->channelNo));
    if (ch->commHandle == COMM_HANDLE_INVALID) {
        ch->pendErrCode = ERR_NO_PORT_READ;
        ch->pendErrSub = 0;
        ch->pendErrGroup = ERRGRP_NO_PORT_READ;
        textOutputParm("[C:%d] readTelegram(): Invalid Port handle", ch->channelNo);
        return 0;
    }
    uint32_t errors = 0;
    plat::CommStat stat{};
    plat::clearCommError(ch->commHandle, &errors, &stat);

    std::memset(ch->rxBuf, 0, sizeof ch->rxBuf);
    ch->rxLen = 0;

    // Waiting for the STX: anything before it is overwritten by the next byte.
    uint32_t start = since;
    while (ch->rxBuf[0] != STX) {
        if (exchangeAbandoned(ch)) return readStopped(ch);
        if (inputWaiting(ch->commHandle, sliceUntil(start)) && readByte(ch, &ch->rxBuf[0]) < 0) {
            readFailure(ch);
            return 0;
        }
        if (timeExpired(start) > REPLY_TIMEOUT_MS) {
            readTimeout(ch, ERRGRP_LINE);
            return 0;
        }
    }

    // The body, with time limit of its own from the STX on. A further STX is not kept.
    ch->rxLen = 1;
    start = plat::getTickCount();
    for (;;) {
        if (ch->rxLen >= kMaxReply) {
            // Longer than the buffer can hold: give up on it and drop what is left of it
            // on the line, so that it cannot pass for the next reply.
            textOutputParm("[C:%d] readTelegram(): Reply too long (%d)", ch->channelNo, ch->rxLen);
            plat::purgeComm(ch->commHandle, plat::COMM_PURGE_RXABORT | plat::COMM_PURGE_RXCLEAR);
            ch->pendErrCode = ERR_TIMEOUT;
            ch->pendErrSub = 0;
            ch->pendErrGroup = ERRGRP_LINE_END;
            return 0;
        }
        if (exchangeAbandoned(ch)) return readStopped(ch);
        uint8_t *slot = &ch->rxBuf[ch->rxLen];
        const int32_t got = inputWaiting(ch->commHandle, sliceUntil(start)) ? readByte(ch, slot) : 0;
        if (got > 0) {
            if (*slot == STX) {
                *slot = 0;
                continue;
            }
            ++ch->rxLen;
            if (ch->rxLen >= 2 && ch->rxBuf[ch->rxLen - 2] == CR && ch->rxBuf[ch->rxLen - 1] == LF) break;
            continue;
        }
        if (got < 0) {
            readFailure(ch);
            plat::sleepMs(kFailedReadPauseMs);
        }
        if (timeExpired(start) > REPLY_TIMEOUT_MS) {
            readTimeout(ch, ERRGRP_LINE_END);
            return 0;
        }
    }

    if (debugDumps()) {
        char dump[kRecvDumpSize];
        printableCopy(ch->rxBuf, ch->rxLen, dump, sizeof dump, kRecvDumpStop);
        textOutputParm("Recv[%02d]: %s", ch->rxLen, dump);
    }
    return 1;
}

int32_t receiveReply(TelegramChannel *ch, uint32_t tag) {
    // "OK" tells that the answer is coming, not that it may come later: the answer must
    // still start within the time limit of the request, however many "OK"s come first.
    // A station that answers "OK" for ever so ends in a time-out instead of holding the
    // channel for good.
    const uint32_t since = plat::getTickCount();
    std::atomic<bool> &owed = answerOwed[ch->channelNo % HYDRIX_CHANNELS];
    const bool worker = tlsWorkerOf == ch;
    for (;;) {
        if (!readTelegramSince(ch, since)) {
            // A station that did not answer in time may still answer: that answer must not
            // pass for the answer to a later telegram.
            if (worker && ch->pendErrGroup == ERRGRP_LINE && ch->pendErrCode == ERR_TIMEOUT) owed.store(true);
            return -1;
        }
        const int32_t r = checkRxTelegram(ch, tag);
        if (r == RX_OK) continue;
        // The answer that came may have been the late one to the timed-out try; the
        // station then answers the repeated telegram too, right after it. That second
        // answer is read off the line and dropped here, before the next telegram goes out.
        if (worker && owed.exchange(false)) settleLine(ch);
        return r;
    }
}

bool replyStartsWithin(TelegramChannel *ch, uint32_t ms) {
    const uint32_t start = plat::getTickCount();
    for (;;) {
        if (exchangeAbandoned(ch)) return false;
        const uint32_t elapsed = timeExpired(start);
        if (elapsed >= ms) return false;
        const uint32_t left = ms - elapsed;
        if (inputWaiting(ch->commHandle, left < kInputSliceMs ? left : kInputSliceMs)) return true;
    }
}

int32_t exchangeTelegram(TelegramChannel *ch, uint32_t tag) {
    if (!writeTelegram(ch)) return -1;
    return receiveReply(ch, tag);
}

}  // namespace tg
