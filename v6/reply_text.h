// Walking a reply's text: blank-separated fields, read without ever looking past the end
// of the text, whatever the station sent.
#pragma once
#include <cstdint>

#include "driver/channels.h"
#include "v6/v6.h"

namespace v6 {

// The reply's text: from the lead byte up to the first zero byte or `length` bytes,
// whichever comes first (and never beyond the buffer).
struct ReplyText {
    char *begin;
    char *end;
};
ReplyText replyText(V6Buffer *buf);

// The first blank in [p, end), or null.
char *nextBlank(char *p, const char *end);
const char *nextBlank(const char *p, const char *end);
// Length of the field starting at p: up to the next blank or the end of the text.
int fieldLength(const char *p, const char *end);
// Whether the text holds `word` at `pos` (compared over the word's length).
bool wordAt(const ReplyText &t, int pos, const char *word);
// The channel's parse cursor when it points into the text, else null.
char *cursorIn(const V6Channel *ch, const ReplyText &t);
// Gives the reply buffer back to freeQueue and forgets it and the cursor.
void releaseReply(V6Channel *ch);
// Stores a value into a message's value area at byte offset `at` (no area, no store).
void storeValue(HostMsg *msg, int at, const void *value, int size);
// Traces a reply that ends in the middle of a record.
void traceCutRecord(const V6Channel *ch, const char *parser);

constexpr int MAX_NUMBER_FIELD = 10;  // characters of a numeric field

// What became of one record of a list reply.
enum class Fields { Read, TooLong, Cut };

// Reads `count` blank-separated numbers from `field` on, leaving `field` on the last one.
// A too-long field is traced as "<parser><n> error n = <length>"; the last field's length
// is checked by the caller (see walkRecords).
Fields readNumbers(char *&field, const char *end, int32_t *out, int count, const char *parser);
// Whether the last field of a record fits; if not, traces "<what> error n = <length>".
bool lastFieldFits(const char *field, const char *end, const char *what);

// A pool message for the record at `p`, its direction and error fields set for a result;
// null when the pool is dry, with the cursor kept on that record so the parse resumes there.
inline HostMsg *recordMessage(V6Channel *ch, char *p) {
    HostMsg *msg = getMsgFromPool(static_cast<int32_t>(ch->channelNo));
    if (msg == nullptr) {
        ch->parseCursor = p;
        return nullptr;
    }
    msg->direction = DIR_READ;
    msg->errGroup = msg->errCode = msg->errSub = 0;
    return msg;
}

// Walks a list reply record by record from the blank at `p`. Each record gets a message
// from the host's pool, which `fill(msg, field)` fills from the record's first field on,
// leaving `field` on the record's last one. Returns 1 when the pool runs dry (the cursor
// stays on that record), else 0; the reply is released unless a field was too long. A
// record with a field too long does not go out, and the rest of the reply is dropped.
template <typename Fill>
int32_t walkRecords(V6Channel *ch, const ReplyText &t, char *p, const char *parser, const char *lastError, Fill fill) {
    const auto c = static_cast<int32_t>(ch->channelNo);
    while (p != nullptr) {
        if (p + 1 >= t.end) break;  // nothing after the last blank
        HostMsg *msg = recordMessage(ch, p);
        if (msg == nullptr) return 1;
        char *field = p + 1;
        const Fields r = fill(msg, field);
        if (r != Fields::Read) {
            putMsgToPool(c, msg);
            if (r == Fields::TooLong) {
                ch->parseCursor = nullptr;
                return 0;
            }
            traceCutRecord(ch, parser);
            break;
        }
        // The last field is checked before the record goes out: a record with a garbled
        // value must not reach the host as if it were good.
        if (!lastFieldFits(field, t.end, lastError)) {
            putMsgToPool(c, msg);
            ch->parseCursor = nullptr;
            return 0;
        }
        putMsgToSapIq(c, msg);
        p = nextBlank(field, t.end);
    }
    releaseReply(ch);
    return 0;
}

}  // namespace v6
