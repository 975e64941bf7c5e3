// Telegrams on the wire: the block check, building a request in the transmit buffer,
// sending it, reading a reply and classifying it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "driver/channels.h"

namespace tg {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t LF = 0x0A;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t DC3 = 0x13;

// How long a reply may take to start, and once started, to end.
constexpr uint32_t REPLY_TIMEOUT_MS = 5000;

// What checkRxTelegram makes of a reply.
enum : int32_t {
    RX_DATA = 0,
    RX_NDA = 1,
    RX_SCO = 2,
    RX_SCE = 3,
    RX_ALR = 4,
    RX_ALN = 5,
    RX_ACT = 6,
    RX_OK = 7,
    RX_BAD = 999
};

// Request tags: who asked; a bad reply or SCE reports the tag as its sub-code.
enum : uint32_t {
    TAG_PICTURE = 1,
    TAG_REPORT = 2,
    TAG_SETPOINT = 3,
    TAG_HISTORY = 4,
    TAG_ALARM = 5,
    TAG_CALLER = 6,
    TAG_WAIT_OK = 7
};

// Block check of a text up to its first '#' or NUL, DC3 bytes left out: the sum of the
// bytes as signed 8-bit values, taken as a signed 16-bit number, without its sign.
int32_t calcBCC(const char *text);

// Removes the DC3 bytes from the receive buffer in place (the rest of the buffer is
// zeroed behind the kept bytes); returns the number of bytes kept before the first NUL.
int32_t stripXoff(TelegramChannel *ch);

// Checks framing and block check of the reply in rxBuf and tells what it is (RX_*).
// A bad reply and SCE leave their error triple pending, with `tag` as the sub-code.
int32_t checkRxTelegram(TelegramChannel *ch, uint32_t tag);

// A reply the handler cannot use, made a failure whose triple says what came: a damaged
// reply (RX_BAD) and SCE keep the triple the check left; NDA gives (41, 17676, ndaSub);
// any other reply word gives the bad-telegram triple (20, 17668, tag). Returns 0.
int32_t replyFailure(TelegramChannel *ch, int32_t reply, uint32_t tag, uint32_t ndaSub, const char *who);

// Marks the calling thread as the worker of `ch`.
void markWorkerThread(const TelegramChannel *ch);
// True when an exchange on `ch` must end now: on its worker, when the channel is being
// stopped or the driver no longer runs; on any other thread (the host's calls into the
// event hooks), when the driver is stopping.
bool exchangeAbandoned(const TelegramChannel *ch);

// Clears the pending group and code, both buffers and both lengths.
void prepareRequest(TelegramChannel *ch);
// Puts SOH, the formatted body and its block check trailer into txBuf and sets txLen.
void formatTelegram(TelegramChannel *ch, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A printable copy of `len` bytes (SOH, STX, CR and LF spelled out in brackets) that
// stops once it has `stopAt` characters; `out` holds `outSize` bytes.
void printableCopy(const uint8_t *bytes, int32_t len, char *out, size_t outSize, size_t stopAt);

// Sends txLen bytes of txBuf. 1 on success; 0 with the pending error set.
int32_t writeTelegram(TelegramChannel *ch);
// Reads one reply, STX to CR LF, into rxBuf. 1 on success; 0 with the pending error set.
int32_t readTelegram(TelegramChannel *ch);
// The same, with the wait for the reply's start counted from the tick `since` rather
// than from the call.
int32_t readTelegramSince(TelegramChannel *ch, uint32_t since);
// Reads replies until one that is not "OK" comes; returns its class, or -1 when a read
// failed (pending error set). The reply must start within REPLY_TIMEOUT_MS of the call,
// "OK" replies or not.
int32_t receiveReply(TelegramChannel *ch, uint32_t tag);
// True when input arrives on the line within `ms` (nothing is read); false after `ms` of
// silence or when the exchange is abandoned.
bool replyStartsWithin(TelegramChannel *ch, uint32_t ms);
// writeTelegram, then receiveReply; -1 when either failed.
int32_t exchangeTelegram(TelegramChannel *ch, uint32_t tag);

}  // namespace tg
