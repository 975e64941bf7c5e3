#include "telegram/parsers.h"

#include <cstring>

#include "telegram/numbers.h"

namespace tg {

namespace {

// Passes the rest of a field and the blank behind it; stays on the NUL at the end.
const char *passField(const char *p) {
    while (*p != '\0' && *p != ' ') ++p;
    return *p == ' ' ? p + 1 : p;
}

// Collects the fields from `p` until the end of the text or `endMark` standing where a
// field would begin. Keeps at most MAX_FIELDS positions; returns where it stopped, with
// the number of fields seen in *count.
const char *collectFields(const char *p, char endMark, const char **fields, int *count) {
    int n = 0;
    for (;;) {
        while (*p == ' ') ++p;
        if (*p == '\0' || *p == endMark) break;
        if (n < MAX_FIELDS) fields[n] = p;
        ++n;
        while (*p != '\0' && *p != ' ') ++p;
    }
    *count = n;
    return p;
}

// A calendar field as the 16-bit word it goes into; a value that does not fit becomes
// 65535, which no date or time accepts.
uint16_t calendarWord(int64_t v) { return (v < 0 || v > 65535) ? 65535 : static_cast<uint16_t>(v); }

}  // namespace

const char *parseFloatField(const char *pos, float *out) {
    *out = readFloat(pos);
    while (*pos != '\0' && *pos != ' ') ++pos;
    return *pos == ' ' ? pos + 1 : pos;
}

const char *parseSetpointField(TelegramChannel *ch, const char *pos) {
    float value = 0.0f;
    char text[SETPOINT_TEXT] = {};

    if (*pos == ' ') ++pos;
    const int32_t index = readInt(pos);
    pos = passField(pos);
    const char type = *pos;
    pos = passField(pos);
    switch (type) {
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case 'D':
    case 'I':
    case 'S':
        value = readFloat(pos);
        break;
    case 'T': {
        if (*pos != '\0') ++pos;  // opening quote
        int n = 0;
        while (n < SETPOINT_TEXT && *pos != '\0' && *pos != '\'') text[n++] = *pos++;
        if (*pos != '\0') ++pos;  // closing quote, or the 17th character of a long text
        break;
    }
    default:
        break;
    }
    pos = passField(pos);

    if (index < 1 || index >= SETPOINT_COUNT) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_SETPOINT_NUMBER;
        ch->pendErrSub = static_cast<uint32_t>(index);
        return nullptr;
    }
    SetpointEntry &e = ch->setpointTable[index];
    e.index = static_cast<uint16_t>(index);
    e.type = type;
    e.value = value;
    std::memcpy(e.text, text, sizeof text);
    return pos;
}

const char *parseHistoryRecord(TelegramChannel *ch, const char *pos, plat::SystemTime *time, float *values,
                               int maxValues, int *count) {
    const char *fields[MAX_FIELDS] = {};
    int n = 0;
    pos = collectFields(pos, '!', fields, &n);
    while (*pos == '!' || *pos == ' ') ++pos;

    if (n < 6) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_HISTORY_FIELDS;
        ch->pendErrSub = static_cast<uint32_t>(n);
        return nullptr;
    }

    *time = plat::SystemTime{};
    time->wYear = calendarWord(static_cast<int64_t>(readInt(fields[0])) + 2000);
    time->wMonth = calendarWord(readInt(fields[1]));
    time->wDay = calendarWord(readInt(fields[2]));
    time->wHour = calendarWord(readInt(fields[3]));
    time->wMinute = calendarWord(readInt(fields[4]));

    plat::FileTime ft = 0;
    if (!plat::systemTimeToFileTime(time, &ft)) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_HISTORY_TIME;
        ch->pendErrSub = plat::getLastError();
        return nullptr;
    }
    if (time->wHour == 0 && time->wMinute == 0) addORVELTimeDay(&ft, 1);
    offsetTZ(&ft, 0, 0, 0, 0);
    plat::fileTimeToSystemTime(&ft, time);

    const int kept = n < MAX_FIELDS ? n : MAX_FIELDS;
    int stored = 0;
    for (int i = 5; i < kept && stored < maxValues; ++i) values[stored++] = readFloat(fields[i]);
    *count = n - 5;
    return pos;
}

int32_t parseAlarmRecord(TelegramChannel *ch, const char *line, AlarmRecord *rec) {
    for (int i = 0; i < 4 && *line != '\0'; ++i) ++line;
    *rec = AlarmRecord{};
    const char *fields[MAX_FIELDS] = {};
    int n = 0;
    collectFields(line, '#', fields, &n);
    if (n != 14 && n != 15) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_ALARM_FIELDS;
        ch->pendErrSub = static_cast<uint32_t>(n);
        return 0;
    }
    rec->alarmNode = readInt(fields[0]);
    rec->alarmCode = readInt(fields[1]);
    plat::SystemTime &t = rec->localTime;
    t.wYear = calendarWord(static_cast<int64_t>(readInt(fields[2])) + 2000);
    t.wMonth = calendarWord(readInt(fields[3]));
    t.wDay = calendarWord(readInt(fields[4]));
    t.wHour = calendarWord(readInt(fields[5]));
    t.wMinute = calendarWord(readInt(fields[6]));
    t.wSecond = n == 15 ? calendarWord(readInt(fields[14])) : 0;
    t.wMilliseconds = 0;
    rec->flag = fields[7][0] == 'A' ? 1 : 0;

    plat::FileTime ft = 0;
    if (!plat::systemTimeToFileTime(&t, &ft)) {
        plat::getLocalTime(&t);
        plat::systemTimeToFileTime(&t, &ft);
    }
    rec->utcTime = ft;
    offsetTZ(&rec->utcTime, 0, 0, 0, 0);
    return 1;
}

}  // namespace tg
