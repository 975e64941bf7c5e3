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
    return walkRecords(ch, t, cursorIn(ch, t), "FormatMAS", "GetHistTime4", [&](HostMsg *msg, char *&field) {
        int32_t v[RECORD_FIELDS];
        const Fields r = readNumbers(field, t.end, v, RECORD_FIELDS, "FormatMAS");
        if (r != Fields::Read) return r;
        const int16_t words[5] = {static_cast<int16_t>(v[1]), static_cast<int16_t>(v[2]), static_cast<int16_t>(v[3]),
                                  static_cast<int16_t>(v[4]), static_cast<int16_t>(v[5])};
        msg->node = 0;
        msg->address = MAS_ADDRESS;
        msg->index = 2u * static_cast<uint32_t>(v[0]);
        msg->length = 5;
        storeValue(msg, 0, words, sizeof words);
        textOutputParm("Channel:%d OFFS:%d Type %d HighA:%d LowA:%d Hyst:%d Decimal:%d", static_cast<int>(v[0]),
                       static_cast<int>(msg->index), words[0], words[1], words[2], words[3], words[4]);
        return Fields::Read;
    });
}

}  // namespace v6
