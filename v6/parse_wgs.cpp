// The picture reply: a header of nine numbers, the fourth of which splits the values
// that follow into two ranges, then the values, one host message each.
#include "v6/reply_text.h"
#include "v6/v6.h"

namespace v6 {
namespace {

constexpr int HEADER_FIELDS = 9;
constexpr int SPLIT_FIELD = 3;
constexpr uint32_t FIRST_RANGE_ADDRESS = 9;
constexpr uint32_t SECOND_RANGE_ADDRESS = 11;

}  // namespace

int32_t FormatWGS(V6Channel *ch, int first) {
    if (ch->replyBuffer == nullptr || ch->replyBuffer->length < 9) return 0;
    const ReplyText t = replyText(ch->replyBuffer);
    char *p = cursorIn(ch, t);
    if (p == nullptr) return 0;
    V6ParseState &state = ch->parse;
    uint32_t &wgsIndex = state.wgsIndex;
    // The split count comes with the header on the first call and is kept for the calls
    // that resume the reply after the host's pool ran dry: without it the values after a
    // pause would lose their picture bits and their index.
    uint32_t &split = state.wgsSplit;
    if (first) {
        split = 0;
        char *field = t.begin + 2;
        for (int i = 0; i < HEADER_FIELDS; ++i) {
            const int n = fieldLength(field, t.end);
            if (n > MAX_NUMBER_FIELD) {
                textOutputParm("FormatWGS%d error n = %d", i + 1, n);
                ch->parseCursor = nullptr;
                return 0;
            }
            if (field >= t.end) {
                traceCutRecord(ch, "FormatWGS");
                releaseReply(ch);
                return 0;
            }
            if (i == SPLIT_FIELD) split = static_cast<uint32_t>(boundedAtoi(field, t.end));
            char *blank = nextBlank(field, t.end);
            if (i == HEADER_FIELDS - 1) {
                p = blank;
            } else if (blank == nullptr) {
                traceCutRecord(ch, "FormatWGS");
                releaseReply(ch);
                return 0;
            } else {
                field = blank + 1;
            }
        }
        wgsIndex = 1;
    }
    return walkRecords(ch, t, p, "FormatWGS", "FormatWGS10", [&](HostMsg *msg, char *&field) {
        const int32_t value = boundedAtoi(field, t.end);
        msg->node = ch->curMsg.load() != nullptr ? ch->curMsg.load()->node : 0;
        msg->length = 2;
        storeValue(msg, 0, &value, sizeof value);
        if (wgsIndex < split) {
            const HostMsg *request = ch->curMsg.load();
            msg->address = FIRST_RANGE_ADDRESS | (request != nullptr ? request->address & 0xFF0000u : 0u);
            msg->index = 2 * wgsIndex;
        } else {
            msg->address = SECOND_RANGE_ADDRESS;
            msg->index = 2 * (wgsIndex - split);
        }
        wgsIndex += 1;
        return Fields::Read;
    });
}

}  // namespace v6
