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
    return walkRecords(ch, t, cursorIn(ch, t), "FormatWGD", "FormatWGD5", [&](HostMsg *msg, char *&field) {
        int32_t row[ROW_VALUES];
        const Fields r = readNumbers(field, t.end, row, ROW_VALUES, "FormatWGD");
        if (r != Fields::Read) return r;
        msg->node = ch->curMsg.load() != nullptr ? ch->curMsg.load()->node : 0;
        msg->address = WGD_ADDRESS;
        msg->index = ch->wgdRow * 10 * 2;
        ch->wgdRow += 1;
        msg->length = 2 * ROW_VALUES;
        storeValue(msg, 0, row, sizeof row);
        return Fields::Read;
    });
}

}  // namespace v6
