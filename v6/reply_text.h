// Walking a reply's text: blank-separated fields, read without ever looking past the end
// of the text, whatever the station sent.
#pragma once
#include <cstdint>

#include "driver/channels.h"

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

// The history and picture parsers' value counters, one pair per channel.
uint32_t &histIndexSlot(const V6Channel *ch);
uint32_t &wgsIndexSlot(const V6Channel *ch);

constexpr int MAX_NUMBER_FIELD = 10;  // characters of a numeric field

}  // namespace v6
