// The history reply: records "<yy mm dd hh mi> <values> !", one host message per value.
// A history read comes in chunks: once a reply is through, the request goes back to the
// head of the output queue carrying the time of the last record, and is sent again
// until the station answers NDA.
#include <cstring>

#include "driver/state.h"
#include "platform/systime.h"
#include "v6/reply_text.h"
#include "v6/v6.h"

namespace v6 {
namespace {

constexpr uint32_t HISTORY_ADDRESS = 8;
constexpr int TIME_FIELDS = 5;

void requeue(V6Channel *ch) {
    insMsgToSapOq(static_cast<int32_t>(ch->channelNo), ch->curMsg.load());
    ch->curMsg.store(nullptr);
}

// Behind a value: the next value, the end of the record ("!") with the next record's
// time behind it, or the end of the reply (null).
const char *afterValue(const char *value, const char *end) {
    const char *blank = nextBlank(value, end);
    if (blank == nullptr || blank + 1 >= end) return nullptr;
    return blank + 1;
}

// How reading a record's time went.
enum class TimeField {
    Read,       // *next is behind the minute's blank
    Malformed,  // a field too long, or the text ends inside the time; *detail = fields read
    Impossible  // the fields name no time (31 February, hour 25); *detail = system error
};

TimeField readRecordTime(const char *text, const char *end, OrvelTime *utc, const char **next, uint32_t *detail) {
    uint16_t f[TIME_FIELDS];
    const char *p = text;
    for (int i = 0; i < TIME_FIELDS; ++i) {
        const int n = fieldLength(p, end);
        const char *blank = nextBlank(p, end);
        *detail = static_cast<uint32_t>(i);
        if (n > MAX_NUMBER_FIELD || (blank == nullptr && i > 0)) {
            textOutputParm("GetHistTime%d error n = %d", i + 1, n);
            return TimeField::Malformed;
        }
        if (blank == nullptr) return TimeField::Malformed;
        f[i] = static_cast<uint16_t>(boundedAtoi(p, end));
        p = blank + 1;
    }
    const plat::SystemTime st{static_cast<uint16_t>(f[0] + 2000), f[1], 0, f[2], f[3], f[4], 0, 0};
    plat::FileTime local = 0;
    if (!plat::systemTimeToFileTime(&st, &local) || !plat::localFileTimeToFileTime(&local, utc)) {
        *detail = plat::getLastError();
        textOutputParm("GetHistTime error: no such time %02d %02d %02d %02d %02d", f[0], f[1], f[2], f[3], f[4]);
        return TimeField::Impossible;
    }
    *next = p;
    return TimeField::Read;
}

// Hands the host a history-time message. The time goes into the request's value area
// whether or not the pool had a message: the records up to it have reached the host, and
// the next read must start behind them, or they would come a second time.
int32_t sendHistTime(V6Channel *ch, uint32_t node, OrvelTime time, bool traceDry) {
    if (HostMsg *request = ch->curMsg.load(); request != nullptr && request->data != nullptr)
        std::memcpy(request->data, &time, sizeof time);
    const auto c = static_cast<int32_t>(ch->channelNo);
    HostMsg *msg = getMsgFromPool(c);
    if (msg == nullptr) {
        if (traceDry) traceTimeStamp("NO BUFFER WRITE TIME", time, static_cast<int>(node));
        return 0;
    }
    msg->direction = DIR_READ_TIME;
    msg->node = node;
    msg->address = HISTORY_ADDRESS;
    msg->index = 0;
    msg->errGroup = msg->errCode = msg->errSub = 0;
    msg->timeStamp = time;
    putMsgToSapIq(c, msg);
    return 1;
}

// A history reply the parser cannot read on ends the request with its triple, handed to
// the host once. Neither a retry nor the next chunk would help: the station answers the
// same read with the same record, and a read that went on from the old time would fetch
// it for ever. The records before it have reached the host, and the request's value area
// carries the time of the last of them.
int32_t failHistory(V6Channel *ch, uint32_t group, uint32_t code, uint32_t sub) {
    const auto c = static_cast<int32_t>(ch->channelNo);
    textOutputParm("setErr() grp = %X, rc = %X Sub:%x", group, code, sub);
    const OrvelTime reached = ch->parse.histTime;
    releaseReply(ch);
    HostMsg *request = ch->curMsg.exchange(nullptr);
    if (request == nullptr) return 0;
    if (!isZeroORVELTime(&reached) && request->data != nullptr) std::memcpy(request->data, &reached, sizeof reached);
    request->errGroup = group;
    request->errCode = code;
    request->errSub = sub;
    if (hostTakesResults())
        putMsgToSapIq(c, request);
    else
        putMsgToPool(c, request);
    return 0;
}

// A record time that cannot be read. An impossible date gets the content triple for a
// history time that cannot be converted (sub: the system error); a time cut short or
// with a field too long gets the one for a record with too few time fields (sub: the
// fields read).
int32_t failRecordTime(V6Channel *ch, TimeField why, uint32_t detail) {
    return failHistory(ch, ERRGRP_CONTENT, why == TimeField::Impossible ? ERR_HISTORY_TIME : ERR_HISTORY_FIELDS,
                       detail);
}

// A value or end mark too long to be a number: the bad-telegram triple (the v6 engine
// has no request tag, so the sub is 0).
int32_t failField(V6Channel *ch, int n) {
    textOutputParm("GetHistTime4 error n = %d", n);
    return failHistory(ch, ERRGRP_LINE, ERR_FRAMING, 0);
}

}  // namespace

const char *GetHistTime(const char *text, const char *end, OrvelTime *utc) {
    const char *next = nullptr;
    uint32_t detail = 0;
    return readRecordTime(text, end, utc, &next, &detail) == TimeField::Read ? next : nullptr;
}

int32_t writeHistTime(V6Channel *ch, uint32_t node, OrvelTime time) { return sendHistTime(ch, node, time, true); }

int32_t formatWGH(V6Channel *ch, int first) {
    HostMsg *request = ch->curMsg.load();
    if (request == nullptr) {
        ch->state.store(ST_IDLE);
        ch->step.store(STEP_NONE);
        return 0;
    }
    const auto c = static_cast<int32_t>(ch->channelNo);
    const uint32_t node = request->node;
    V6ParseState &state = ch->parse;
    // The record being read and its time are kept per channel, so that a parse the host's
    // empty pool paused goes on with the right time and index.
    uint32_t &histIndex = state.histIndex;
    OrvelTime &recordTime = state.histTime;
    if (first) state.histReport = V6ParseState::Report::None;
    if (state.histReport != V6ParseState::Report::None) {
        // The history-time report that found the pool empty goes out before the request
        // moves on (traced once, when the pool first ran dry).
        if (sendHistTime(ch, node, recordTime, false) == 0) return 1;
        const bool ended = state.histReport == V6ParseState::Report::HistoryEnded;
        state.histReport = V6ParseState::Report::None;
        if (ended) {
            putMsgToPool(c, request);
            ch->curMsg.store(nullptr);
            return 0;
        }
    }
    if (ch->replyBuffer == nullptr) {
        requeue(ch);
        return 0;
    }
    const ReplyText t = replyText(ch->replyBuffer);
    if (wordAt(t, 2, "OK")) {
        requeue(ch);
        return 0;
    }
    const char *p = cursorIn(ch, t);
    uint32_t detail = 0;
    if (first) {
        recordTime = zeroORVELTime();
        if (wordAt(t, 2, "NDA")) {
            // No more history: the zero time tells the host so, and the request is done.
            releaseReply(ch);
            if (writeHistTime(ch, node, recordTime) == 0) {
                state.histReport = V6ParseState::Report::HistoryEnded;
                return 1;
            }
            putMsgToPool(c, request);
            ch->curMsg.store(nullptr);
            return 0;
        }
        histIndex = 1;
        // A reply that is neither NDA nor starts with a record time carries nothing usable.
        OrvelTime time = 0;
        const TimeField r = p != nullptr ? readRecordTime(p, t.end, &time, &p, &detail) : TimeField::Malformed;
        if (r != TimeField::Read) return failRecordTime(ch, r, detail);
        recordTime = time;
    }

    while (p != nullptr && p < t.end) {
        if (*p == '!') {
            // End of a record; another one follows behind the blank, or the reply ends.
            const int n = fieldLength(p, t.end);
            if (n > MAX_NUMBER_FIELD) return failField(ch, n);
            const char *blank = nextBlank(p, t.end);
            if (blank == nullptr || blank + 1 >= t.end) break;
            OrvelTime time = 0;
            const TimeField r = readRecordTime(blank + 1, t.end, &time, &p, &detail);
            if (r != TimeField::Read) return failRecordTime(ch, r, detail);
            recordTime = time;
            histIndex = 1;
            continue;
        }
        HostMsg *msg = getMsgFromPool(c);
        if (msg == nullptr) {
            ch->parseCursor = const_cast<char *>(p);
            textOutput("NO BUFFER formatWGH");
            return 1;
        }
        // The field is checked before the value goes out: a garbled value must not reach
        // the host as a good one.
        const int n = fieldLength(p, t.end);
        if (n > MAX_NUMBER_FIELD) {
            putMsgToPool(c, msg);
            return failField(ch, n);
        }
        const int32_t value = boundedAtoi(p, t.end);
        msg->direction = DIR_READ;
        msg->errGroup = msg->errCode = msg->errSub = 0;
        msg->timeStamp = recordTime;
        storeValue(msg, 0, &value, sizeof value);
        msg->node = node;
        msg->address = HISTORY_ADDRESS;
        msg->index = 2 * histIndex;
        histIndex += 1;
        msg->length = 2;
        putMsgToSapIq(c, msg);
        p = afterValue(p, t.end);
    }
    releaseReply(ch);
    if (writeHistTime(ch, node, recordTime) == 0) state.histReport = V6ParseState::Report::ChunkDone;
    return 1;
}

}  // namespace v6
