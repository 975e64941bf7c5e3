// The setpoint list reply: records "<index> <type> <value>", one host message each.
// Type letters 0..4 carry a number with that many decimals, A and D a 16-bit word,
// T a text between two delimiters.
#include <cstdio>
#include <cstring>

#include "v6/reply_text.h"
#include "v6/v6.h"

namespace v6 {
namespace {

constexpr int MAX_DECIMAL_FIELD = 117;
constexpr int MAX_TEXT = 30;

enum class Record { Done, Cut, Failed, NoValue };

// Reads the value of one record whose type letter stands at `letter` and fills the
// message. *next is where the cursor goes on (the blank behind the value, or null).
Record readValue(HostMsg *msg, int32_t index, char *letter, const char *end, char **next) {
    const char type = letter < end ? *letter : '\0';
    char *value = letter + 2;  // behind the letter and its blank
    if (type >= '0' && type <= '4') {
        if (value >= end) return Record::Cut;
        const int n = fieldLength(value, end);
        if (n > MAX_DECIMAL_FIELD) {
            textOutputParm("FormatMCC5 error n = %d", n);
            return Record::Failed;
        }
        char text[MAX_DECIMAL_FIELD + 1];
        std::memcpy(text, value, static_cast<size_t>(n));
        text[n] = '\0';
        float f = 0;
        if (std::sscanf(text, "%f", &f) != 1) return Record::NoValue;
        storeValue(msg, 0, &f, sizeof f);
        msg->length = 2;
        msg->address = 3u + static_cast<uint32_t>(type - '0');
        *next = nextBlank(value, end);
    } else if (type == 'A' || type == 'D') {
        if (value >= end) return Record::Cut;
        const int n = fieldLength(value, end);
        if (n > MAX_NUMBER_FIELD) {
            textOutputParm(type == 'A' ? "FormatMCC3 error n = %d" : "FormatMCC4 error n = %d", n);
            return Record::Failed;
        }
        const auto word = static_cast<int16_t>(boundedAtoi(value, end));
        if (type == 'A') textOutputParm("C:%d ANALOG %d", static_cast<int>(index), static_cast<int>(word));
        storeValue(msg, 0, &word, sizeof word);
        msg->length = 1;
        msg->address = type == 'A' ? 0 : 1;
        *next = nextBlank(value, end);
    } else if (type == 'T') {
        char *text = value + 1;  // behind the opening delimiter
        if (text >= end) return Record::Cut;
        const int field = fieldLength(text, end);
        const int n = field > 0 ? field - 1 : 0;  // without the closing delimiter
        if (n > MAX_TEXT) {
            textOutputParm("FormatMCC2 error n = %d", n);
            return Record::Failed;
        }
        char copy[MAX_TEXT + 2] = {};
        std::memcpy(copy, text, static_cast<size_t>(n));
        msg->length = (n + 1) / 2;
        msg->address = 2;
        if (msg->data != nullptr) memswap(msg->data, copy, msg->length);
        msg->index *= 5;
        *next = nextBlank(text, end);
    } else if (letter >= end) {
        return Record::Cut;
    } else {
        // An unknown type letter: there is no value to hand over, and no telling where
        // the record ends.
        return Record::NoValue;
    }
    return Record::Done;
}

}  // namespace

int32_t FormatMCC(V6Channel *ch) {
    if (ch->replyBuffer == nullptr) return 0;
    const ReplyText t = replyText(ch->replyBuffer);
    const int32_t length = ch->replyBuffer->length;
    const auto c = static_cast<int32_t>(ch->channelNo);
    char *p = cursorIn(ch, t);
    while (ch->curMsg.load() != nullptr && p != nullptr && (p - (t.begin + 1)) < length - 2) {
        if (p + 1 >= t.end) break;  // nothing after the last blank
        HostMsg *msg = recordMessage(ch, p);
        if (msg == nullptr) return 1;
        char *field = p + 1;
        const int32_t index = boundedAtoi(field, t.end);
        const int n = fieldLength(field, t.end);
        if (n > MAX_NUMBER_FIELD) {
            textOutputParm("FormatMCC1 error n = %d", n);
            putMsgToPool(c, msg);
            ch->parseCursor = nullptr;
            return 0;
        }
        char *blank = nextBlank(field, t.end);
        if (blank == nullptr) {
            textOutput("UMULIGT");
            putMsgToPool(c, msg);
            break;
        }
        msg->node = ch->curMsg.load()->node;
        msg->index = 2u * static_cast<uint32_t>(index);
        char *next = nullptr;
        const Record r = readValue(msg, index, blank + 1, t.end, &next);
        if (r == Record::Failed) {
            putMsgToPool(c, msg);
            ch->parseCursor = nullptr;
            return 0;
        }
        if (r == Record::Cut) {
            traceCutRecord(ch, "FormatMCC");
            putMsgToPool(c, msg);
            break;
        }
        if (r == Record::NoValue) {
            // A record whose value cannot be read (an unknown type letter, or no number
            // where one belongs) must not reach the host as if it held one; the values
            // before it stand, the rest of the reply is dropped.
            textOutputParm("[%d] FormatMCC: record %d holds no value", static_cast<int>(ch->channelNo),
                           static_cast<int>(index));
            putMsgToPool(c, msg);
            break;
        }
        p = next;
        putMsgToSapIq(c, msg);
    }
    releaseReply(ch);
    return 0;
}

}  // namespace v6
