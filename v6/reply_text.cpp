// Shared pieces of the reply parsers.
#include "v6/reply_text.h"

#include <cstring>

#include "v6/v6.h"

namespace v6 {
ReplyText replyText(V6Buffer *buf) {
    int32_t length = buf->length;
    if (length < 0) length = 0;
    if (length > V6_DATA_SIZE) length = V6_DATA_SIZE;
    const size_t n = strnlen(buf->data, static_cast<size_t>(length));
    return {buf->data, buf->data + n};
}

char *nextBlank(char *p, const char *end) {
    if (p >= end) return nullptr;
    return static_cast<char *>(std::memchr(p, ' ', static_cast<size_t>(end - p)));
}

const char *nextBlank(const char *p, const char *end) {
    if (p >= end) return nullptr;
    return static_cast<const char *>(std::memchr(p, ' ', static_cast<size_t>(end - p)));
}

int fieldLength(const char *p, const char *end) {
    if (p >= end) return 0;
    const char *blank = nextBlank(p, end);
    return static_cast<int>((blank != nullptr ? blank : end) - p);
}

bool wordAt(const ReplyText &t, int pos, const char *word) {
    const size_t n = std::strlen(word);
    if (pos < 0 || t.end - t.begin < pos + static_cast<long>(n)) return false;
    return std::memcmp(t.begin + pos, word, n) == 0;
}

char *cursorIn(const V6Channel *ch, const ReplyText &t) {
    char *p = ch->parseCursor;
    return p != nullptr && p >= t.begin && p <= t.end ? p : nullptr;
}

void releaseReply(V6Channel *ch) {
    if (ch->replyBuffer != nullptr) insBuf(ch, &ch->freeQueue, ch->replyBuffer);
    ch->replyBuffer = nullptr;
    ch->parseCursor = nullptr;
}

void storeValue(HostMsg *msg, int at, const void *value, int size) {
    if (msg->data != nullptr) std::memcpy(static_cast<char *>(msg->data) + at, value, static_cast<size_t>(size));
}

void traceCutRecord(const V6Channel *ch, const char *parser) {
    textOutputParm("[%d] %s: reply ends inside a record", static_cast<int>(ch->channelNo), parser);
}

Fields readNumbers(char *&field, const char *end, int32_t *out, int count, const char *parser) {
    for (int i = 0; i < count - 1; ++i) {
        const int n = fieldLength(field, end);
        if (n > MAX_NUMBER_FIELD) {
            textOutputParm("%s%d error n = %d", parser, i + 1, n);
            return Fields::TooLong;
        }
        out[i] = boundedAtoi(field, end);
        char *blank = nextBlank(field, end);
        if (blank == nullptr || blank + 1 >= end) return Fields::Cut;
        field = blank + 1;
    }
    out[count - 1] = boundedAtoi(field, end);
    return Fields::Read;
}

bool lastFieldFits(const char *field, const char *end, const char *what) {
    const int n = fieldLength(field, end);
    if (n <= MAX_NUMBER_FIELD) return true;
    textOutputParm("%s error n = %d", what, n);
    return false;
}

}  // namespace v6
