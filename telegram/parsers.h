// Reply parsers: numbers, setpoint triples, history records and alarm lines. The history
// and alarm parsers turn the station's local time into host time (UTC).
#pragma once
#include <cstdint>

#include "driver/channels.h"
#include "platform/systime.h"

namespace tg {

struct AlarmRecord {
    int32_t alarmNode;           // first number of the line
    int32_t alarmCode;           // second number
    plat::SystemTime localTime;  // as the station gave it
    OrvelTime utcTime;           // the same moment in UTC
    uint32_t flag;               // 1 when the eighth field begins with 'A'
};

// Fields at most collected per history record or alarm line; further fields are
// passed over without being kept.
constexpr int MAX_FIELDS = 256;
// Values at most in one history record message.
constexpr int HISTORY_MAX_VALUES = 128;

// Reads the number at `pos` into `out` and returns where the next field starts: one
// past the blank that ends this field, or the terminating NUL itself when the field is
// the last (the caller sees the end of the text either way).
const char *parseFloatField(const char *pos, float *out);

// Parses one "number type value" triple into the setpoint table. Returns the position
// after it, or null with the pending error 41/17678 when the number is outside 1..127.
const char *parseSetpointField(TelegramChannel *ch, const char *pos);

// Parses one history record (year, month, day, hour, minute, values..., ended by '!').
// `time` receives the record's time in UTC; a record stamped 00:00 belongs to the end of
// the day it names. Up to `maxValues` values are stored; `*count` receives the number of
// values the record holds (which may be more). Returns the start of the next record, or
// null with the pending error set (41/17681 too few fields, 41/17682 impossible date).
const char *parseHistoryRecord(TelegramChannel *ch, const char *pos, plat::SystemTime *time, float *values,
                               int maxValues, int *count);

// Parses an alarm line (the reply text from the blank after its STX). 1, or 0 with the
// pending error 41/17684 when the line has other than 14 or 15 fields. An impossible date
// takes the computer's current local time.
int32_t parseAlarmRecord(TelegramChannel *ch, const char *line, AlarmRecord *rec);

}  // namespace tg
