// Block check, reply classification and request building.
#include "telegram/framing.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "telegram/numbers.h"

namespace tg {

int32_t calcBCC(const char *text) {
    int32_t sum = 0;
    for (const char *p = text; *p != '\0' && *p != '#'; ++p) {
        if (static_cast<uint8_t>(*p) == DC3) continue;
        sum += static_cast<int8_t>(*p);
    }
    const uint32_t v = static_cast<uint32_t>(sum) & 0xFFFFu;
    return v < 32768u ? static_cast<int32_t>(v) : static_cast<int32_t>(65536u - v);
}

int32_t stripXoff(TelegramChannel *ch) {
    // The last byte of the buffer is never part of a reply (readTelegram stops one short),
    // so the scan always meets a NUL or that bound.
    uint8_t *buf = ch->rxBuf;
    int32_t kept = 0;
    for (int32_t i = 0; i < TG_BUF_SIZE - 1 && buf[i] != 0; ++i) {
        if (buf[i] != DC3) buf[kept++] = buf[i];
    }
    std::memset(buf + kept, 0, static_cast<size_t>(TG_BUF_SIZE - kept));
    return kept;
}

namespace {

struct ReplyWord {
    const char *word;
    size_t length;
    int32_t result;
    const char *trace;
};

// Tested in this order; the first match wins.
constexpr ReplyWord kReplyWords[] = {
    {"NDA", 3, RX_NDA, "checkRxTelegram: NDA (No data) reply received"},
    {"SCE", 3, RX_SCE, "checkRxTelegram: SCE (Error in telegram) reply received"},
    {"SCO", 3, RX_SCO, "checkRxTelegram: SCO (OK) reply received"},
    {"ALR", 3, RX_ALR, "checkRxTelegram: ALR Alarm received"},
    {"ALN", 3, RX_ALN, "checkRxTelegram: ALN Alarm received"},
    {"ACT", 3, RX_ACT, "checkRxTelegram: ACT received"},
    {"OK", 2, RX_OK, "checkRxTelegram: OK received"},
};

}  // namespace

int32_t checkRxTelegram(TelegramChannel *ch, uint32_t tag) {
    ch->rxLen = stripXoff(ch);
    const int32_t len = ch->rxLen;
    const char *text = reinterpret_cast<const char *>(ch->rxBuf);

    int32_t hash = 0;
    for (int32_t i = len - 1; i >= 1; --i) {
        if (text[i] == '#') {
            hash = i;
            break;
        }
    }
    const bool framed =
        len >= 1 && ch->rxBuf[0] == STX && (ch->rxBuf[len - 1] == LF || ch->rxBuf[len - 1] == CR) && hash > 0;
    if (!framed) {
        textOutputParm("checkRxTelegram: Incorrect telegram framing");
        ch->pendErrGroup = ERRGRP_LINE;
        ch->pendErrCode = ERR_FRAMING;
        ch->pendErrSub = tag;
        return RX_BAD;
    }

    const int32_t received = readInt(text + hash + 1);
    const int32_t computed = calcBCC(text + 1);
    if (received != computed) {
        textOutputParm("checkRxTelegram: BCC Calc %d Recv %d", computed, received);
        ch->pendErrGroup = ERRGRP_LINE;
        ch->pendErrCode = ERR_BCC;
        ch->pendErrSub = tag;
        return RX_BAD;
    }

    for (const ReplyWord &w : kReplyWords) {
        if (std::strncmp(text + 2, w.word, w.length) != 0) continue;
        textOutputParm("%s", w.trace);
        if (w.result == RX_SCE) {
            ch->pendErrGroup = ERRGRP_CONTENT;
            ch->pendErrCode = ERR_SCE;
            ch->pendErrSub = tag;
        }
        return w.result;
    }
    return RX_DATA;
}

int32_t replyFailure(TelegramChannel *ch, int32_t reply, uint32_t tag, uint32_t ndaSub, const char *who) {
    // A request the station did not answer with what it asked for is never handed back
    // as done: the host would take the value area as it stood for fresh values. A damaged
    // reply is a line failure like a lost one (and is tried again), SCE keeps the triple
    // the check set, and every other word names what came instead.
    switch (reply) {
    case RX_BAD:
    case RX_SCE:
        break;
    case RX_NDA:
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_NO_DATA;
        ch->pendErrSub = ndaSub;
        textOutputParm("%s: No data (NDA reply)!", who);
        break;
    default:
        ch->pendErrGroup = ERRGRP_LINE;
        ch->pendErrCode = ERR_FRAMING;
        ch->pendErrSub = tag;
        textOutputParm("%s: Unexpected reply (%d)", who, static_cast<int>(reply));
        break;
    }
    return 0;
}

void prepareRequest(TelegramChannel *ch) {
    ch->pendErrCode = 0;
    ch->pendErrGroup = 0;
    std::memset(ch->rxBuf, 0, sizeof ch->rxBuf);
    std::memset(ch->txBuf, 0, sizeof ch->txBuf);
    ch->rxLen = 0;
    ch->txLen = 0;
}

void formatTelegram(TelegramChannel *ch, const char *format, ...) {
    // Room for the longest trailer (" 32768 \r") and the terminator stays free.
    constexpr size_t kTrailerRoom = 16;
    char *body = reinterpret_cast<char *>(ch->txBuf) + 1;
    ch->txBuf[0] = SOH;
    va_list args;
    va_start(args, format);
    std::vsnprintf(body, TG_BUF_SIZE - 1 - kTrailerRoom, format, args);
    va_end(args);
    char trailer[kTrailerRoom];
    std::snprintf(trailer, sizeof trailer, " %d \r", calcBCC(body));
    const size_t bodyLen = std::strlen(body);
    std::memcpy(body + bodyLen, trailer, std::strlen(trailer) + 1);
    ch->txLen = static_cast<int32_t>(std::strlen(body)) + 1;
}

void printableCopy(const uint8_t *bytes, int32_t len, char *out, size_t outSize, size_t stopAt) {
    size_t pos = 0;
    out[0] = '\0';
    for (int32_t i = 0; i < len && pos < stopAt; ++i) {
        const char *token;
        char single[2] = {static_cast<char>(bytes[i]), '\0'};
        switch (bytes[i]) {
        case SOH:
            token = "[SOH]";
            break;
        case STX:
            token = "[STX]";
            break;
        case CR:
            token = "[CR]";
            break;
        case LF:
            token = "[LF]";
            break;
        default:
            token = single;
            break;
        }
        for (const char *t = token; *t != '\0' && pos + 1 < outSize; ++t) out[pos++] = *t;
        out[pos] = '\0';
    }
}

}  // namespace tg
