// The daily report reply: rows of five integers, one host message per row.
#include "v6/reply_text.h"
#include "v6/v6.h"

namespace v6 {
namespace {

constexpr int ROW_VALUES = 5;
constexpr uint32_t WGD_ADDRESS = 18;

}  // namespace

int32_t FormatWGD(V6Channel *ch, int first) {
    if (first) ch->wgdRow = 0;
    if (ch->replyBuffer == nullptr || ch->replyBuffer->length < 7) return 0;
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
        int32_t row[ROW_VALUES];
        char *field = p + 1;
        bool cut = false;
        for (int i = 0; i < ROW_VALUES - 1 && !cut; ++i) {
            const int n = fieldLength(field, t.end);
            if (n > MAX_NUMBER_FIELD) {
                textOutputParm("FormatWGD%d error n = %d", i + 1, n);
                putMsgToPool(c, msg);
                ch->parseCursor = nullptr;
                return 0;
            }
            row[i] = boundedAtoi(field, t.end);
            char *blank = nextBlank(field, t.end);
            cut = blank == nullptr || blank + 1 >= t.end;
            if (!cut) field = blank + 1;
        }
        if (cut) {
            traceCutRecord(ch, "FormatWGD");
            putMsgToPool(c, msg);
            break;
        }
        row[ROW_VALUES - 1] = boundedAtoi(field, t.end);
        msg->node = ch->curMsg.load() != nullptr ? ch->curMsg.load()->node : 0;
        msg->address = WGD_ADDRESS;
        msg->index = ch->wgdRow * 10 * 2;
        ch->wgdRow += 1;
        msg->length = 2 * ROW_VALUES;
        storeValue(msg, 0, row, sizeof row);
        putMsgToSapIq(c, msg);
        const int n = fieldLength(field, t.end);
        if (n > MAX_NUMBER_FIELD) {
            textOutputParm("FormatWGD5 error n = %d", n);
            ch->parseCursor = nullptr;
            return 0;
        }
        p = nextBlank(field, t.end);
    }
    releaseReply(ch);
    return 0;
}

}  // namespace v6
