// The history reply: records "<yy mm dd hh mi> <values> !", one host message per value.
// A history read comes in chunks: once a reply is through, the request goes back to the
// head of the output queue carrying the time of the last record, and is sent again
// until the station answers NDA.
#include <cstring>

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

}  // namespace

const char *GetHistTime(const char *text, const char *end, OrvelTime *utc) {
    uint16_t f[TIME_FIELDS];
    const char *p = text;
    for (int i = 0; i < TIME_FIELDS; ++i) {
        const int n = fieldLength(p, end);
        const char *blank = nextBlank(p, end);
        if (n > MAX_NUMBER_FIELD || (blank == nullptr && i > 0)) {
            textOutputParm("GetHistTime%d error n = %d", i + 1, n);
            return nullptr;
        }
        if (blank == nullptr) return nullptr;
        f[i] = static_cast<uint16_t>(boundedAtoi(p, end));
        p = blank + 1;
    }
    const plat::SystemTime st{static_cast<uint16_t>(f[0] + 2000), f[1], 0, f[2], f[3], f[4], 0, 0};
    plat::FileTime local = 0;
    if (!plat::systemTimeToFileTime(&st, &local) || !plat::localFileTimeToFileTime(&local, utc)) {
        textOutputParm("GetHistTime error: no such time %02d %02d %02d %02d %02d", f[0], f[1], f[2], f[3], f[4]);
        return nullptr;
    }
    return p;
}

int32_t writeHistTime(V6Channel *ch, uint32_t node, OrvelTime time) {
    const auto c = static_cast<int32_t>(ch->channelNo);
    HostMsg *msg = getMsgFromPool(c);
    if (msg == nullptr) {
        traceTimeStamp("NO BUFFER WRITE TIME", time, static_cast<int>(node));
        return 0;
    }
    msg->direction = DIR_READ_TIME;
    msg->node = node;
    msg->address = HISTORY_ADDRESS;
    msg->index = 0;
    msg->errGroup = msg->errCode = msg->errSub = 0;
    msg->timeStamp = time;
    putMsgToSapIq(c, msg);
    if (HostMsg *request = ch->curMsg.load(); request != nullptr && request->data != nullptr)
        std::memcpy(request->data, &time, sizeof time);
    return 1;
}

int32_t formatWGH(V6Channel *ch, int first) {
    HostMsg *request = ch->curMsg.load();
    if (request == nullptr) {
        ch->state.store(ST_IDLE);
        ch->step.store(STEP_NONE);
        return 0;
    }
    const uint32_t node = request->node;
    // Each call starts from no time; a resumed call keeps it until the next record.
    OrvelTime recordTime = zeroORVELTime();
    if (ch->replyBuffer == nullptr) {
        requeue(ch);
        return 0;
    }
    const ReplyText t = replyText(ch->replyBuffer);
    if (wordAt(t, 2, "OK")) {
        requeue(ch);
        return 0;
    }
    uint32_t &histIndex = histIndexSlot(ch);
    const char *p = cursorIn(ch, t);
    if (first) {
        if (wordAt(t, 2, "NDA")) {
            writeHistTime(ch, node, zeroORVELTime());
            putMsgToPool(static_cast<int32_t>(ch->channelNo), request);
            ch->curMsg.store(nullptr);
            releaseReply(ch);
            return 0;
        }
        histIndex = 1;
        p = p != nullptr ? GetHistTime(p, t.end, &recordTime) : nullptr;
    }
    if (ch->replyBuffer->length < 7) return 0;

    const auto c = static_cast<int32_t>(ch->channelNo);
    while (p != nullptr && p < t.end) {
        if (*p == '!') {
            // End of a record; another one follows behind the blank, or the reply ends.
            const int n = fieldLength(p, t.end);
            if (n > MAX_NUMBER_FIELD) {
                textOutputParm("GetHistTime4 error n = %d", n);
                ch->parseCursor = nullptr;
                return 0;
            }
            const char *blank = nextBlank(p, t.end);
            p = blank != nullptr ? GetHistTime(blank + 1, t.end, &recordTime) : nullptr;
            histIndex = 1;
            continue;
        }
        HostMsg *msg = getMsgFromPool(c);
        if (msg == nullptr) {
            ch->parseCursor = const_cast<char *>(p);
            textOutput("NO BUFFER formatWGH");
            return 1;
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
        const int n = fieldLength(p, t.end);
        if (n > MAX_NUMBER_FIELD) {
            textOutputParm("GetHistTime4 error n = %d", n);
            ch->parseCursor = nullptr;
            return 0;
        }
        p = afterValue(p, t.end);
    }
    releaseReply(ch);
    writeHistTime(ch, node, recordTime);
    return 1;
}

}  // namespace v6
