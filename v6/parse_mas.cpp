// The alarm-limit list reply: records of six numbers (channel, type, high alarm, low
// alarm, hysteresis, decimals), one host message each.
#include "v6/reply_text.h"
#include "v6/v6.h"

namespace v6 {
namespace {

constexpr int RECORD_FIELDS = 6;
constexpr uint32_t MAS_ADDRESS = 13;

}  // namespace

int32_t FormatMAS(V6Channel *ch) {
    if (ch->replyBuffer == nullptr) return 0;
    const ReplyText t = replyText(ch->replyBuffer);
    const auto c = static_cast<int32_t>(ch->channelNo);
    char *p = cursorIn(ch, t);
    while (p != nullptr) {
        if (p + 1 >= t.end) break;  // nothing after the last blank
        HostMsg *msg = getMsgFromPool(c);
        if (msg == nullptr) {
            ch->parseCursor = p;
            return 1;
        }
        msg->direction = DIR_READ;
        msg->errGroup = msg->errCode = msg->errSub = 0;
        int32_t v[RECORD_FIELDS];
        char *field = p + 1;
        bool cut = false;
        for (int i = 0; i < RECORD_FIELDS - 1 && !cut; ++i) {
            const int n = fieldLength(field, t.end);
            if (n > MAX_NUMBER_FIELD) {
                textOutputParm("FormatMAS%d error n = %d", i + 1, n);
                putMsgToPool(c, msg);
                ch->parseCursor = nullptr;
                return 0;
            }
            v[i] = boundedAtoi(field, t.end);
            char *blank = nextBlank(field, t.end);
            cut = blank == nullptr || blank + 1 >= t.end;
            if (!cut) field = blank + 1;
        }
        if (cut) {
            traceCutRecord(ch, "FormatMAS");
            putMsgToPool(c, msg);
            break;
        }
        v[5] = boundedAtoi(field, t.end);
        const int16_t words[5] = {static_cast<int16_t>(v[1]), static_cast<int16_t>(v[2]),
                                  static_cast<int16_t>(v[3]), static_cast<int16_t>(v[4]),
                                  static_cast<int16_t>(v[5])};
        msg->node = 0;
        msg->address = MAS_ADDRESS;
        msg->index = 2u * static_cast<uint32_t>(v[0]);
        msg->length = 5;
        storeValue(msg, 0, words, sizeof words);
        textOutputParm("Channel:%d OFFS:%d Type %d HighA:%d LowA:%d Hyst:%d Decimal:%d", static_cast<int>(v[0]),
                       static_cast<int>(msg->index), words[0], words[1], words[2], words[3], words[4]);
        putMsgToSapIq(c, msg);
        const int n = fieldLength(field, t.end);
        if (n > MAX_NUMBER_FIELD) {
            textOutputParm("GetHistTime4 error n = %d", n);
            ch->parseCursor = nullptr;
            return 0;
        }
        p = nextBlank(field, t.end);
    }
    releaseReply(ch);
    return 0;
}

}  // namespace v6
