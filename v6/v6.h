// The v6 engine's own operations: buffer pool and queues, receiver and transmitter,
// request telegrams, reply parsers and the channel thread. The entry points reach the
// engine through driver/engines.h; everything here is for the engine and its tests.
#pragma once
#include <cstdint>

#include "driver/channels.h"
#include "platform/port_wait.h"

namespace v6 {

// ---- Buffer pool and queues (buffer_pool.cpp) ---------------------------------------

constexpr int POOL_SIZE = 20;  // line buffers per channel

// Allocates `count` buffers onto freeQueue. 0 as soon as an allocation fails (the buffers
// made so far stay in freeQueue).
int32_t createBufferPool(V6Channel *ch, int count);
// Frees every buffer in freeQueue; 1 when there were exactly `count`.
int32_t destroyBufferPool(V6Channel *ch, int count);
// Removes the head of a queue (null when empty) and marks it as in no queue.
V6Buffer *takeBuf(V6Channel *ch, V6Buffer **queue);
// Pushes a buffer at the head of a queue.
void insBuf(V6Channel *ch, V6Buffer **queue, V6Buffer *buf);
// Appends a buffer at the tail of a queue.
void appBuf(V6Channel *ch, V6Buffer **queue, V6Buffer *buf);
// Moves every buffer of `from` onto `to` (one lock round per buffer); returns how many.
int flushQueue(V6Channel *ch, V6Buffer **from, V6Buffer **to);
// Gives every buffer of rxQueue, txQueue and txDoneQueue back to freeQueue.
void flushChannelQueues(V6Channel *ch);
// Zero length and error words, data all blanks.
void clearBuffer(V6Buffer *buf);

// ---- Per-thread table (thread_table.cpp) ----------------------------------------------

// Each thread of a channel waits on its own event with its polling interval as the
// longest wait; queue operations, pause requests and stops wake it at once.
enum class Sleeper { Channel = 0, Transmitter = 1, Receiver = 2 };
void wake(const V6Channel *ch, Sleeper who);
// Waits up to `ms`; true when woken.
bool sleepUntilWoken(const V6Channel *ch, Sleeper who, uint32_t ms);
// The receiver's idle wait: up to `ms` for bytes on `port` (COMM_HANDLE_INVALID: none to
// watch) or a wake-up of the receiver (a pause request, a stop). PortTrouble: the port
// reports a hang-up or an error instead of bytes.
using PortWait = plat::PortWaker::Result;
PortWait waitForPortInput(const V6Channel *ch, CommHandle port, uint32_t ms);
// A reply wait of ours timed out: the station may still answer that telegram. When the
// next answer comes, it may be that late one, and the answer to the repeated telegram
// then follows it; the line is let settle before the next telegram goes out.
void noteAnswerOwed(const V6Channel *ch);
void answerCame(const V6Channel *ch);
// True while the line settles (the channel thread then takes no new request); a frame
// that came (and was dropped) restarts the quiet time.
bool lineSettling(const V6Channel *ch, bool frameCame);
// Set by the receiver and transmitter as they leave their loops; a thread that never set
// it by the end of its stop was abandoned and may still touch the channel's buffers.
void markThreadEnded(const V6Channel *ch, Sleeper who, bool value);
bool threadEnded(const V6Channel *ch, Sleeper who);
// Whether the reply wait in progress is for a telegram the channel sent (noted as the
// wait begins) or for a frame that arrived while the channel was idle.
void noteReplyWait(const V6Channel *ch, bool forOwnTelegram);
bool replyWaitIsForOwnTelegram(const V6Channel *ch);

// ---- Frames, receiver and transmitter (checksum.cpp, receiver.cpp, transmitter.cpp) ---

constexpr char SOH = 1;
constexpr char STX = 2;
constexpr char CR = 13;
constexpr char LF = 10;
constexpr char DC3 = 19;
constexpr int MAX_FRAME_READ = 4020;  // bytes read for one frame at most

constexpr uint32_t RX_ERR_LINE_GROUP = ERRGRP_V6_RX_LINE;
constexpr uint32_t RX_ERR_LINE = ERR_V6_RX_LINE;
constexpr uint32_t RX_ERR_CHECKSUM = ERR_V6_RX_CHECKSUM;
constexpr uint32_t RX_ERR_NO_LEAD = ERR_V6_RX_NO_LEAD;
// A frame that does not end within MAX_FRAME_READ bytes (the engine's own code).
constexpr uint32_t RX_ERR_TOO_LONG = ERR_FRAMING;

// Sum of the bytes modulo 65536, folded to 0..32768.
uint32_t frameChecksum(const char *text, int count);
// atoi over [p, end): blanks, a sign, digits; never looks at `end` or beyond.
int32_t boundedAtoi(const char *p, const char *end);

// One attempt to read a frame into rxFrame. 1 when a frame with "#" was found (its
// checksum result is in rxFrame.ioErrCode), else 0.
int32_t receiveFrame(V6Channel *ch);
// The frame handling of receiveFrame over bytes at hand instead of the port: the bytes
// are taken as they would be read (up to an LF, DC3 dropped), then framed and checked.
int32_t frameFromBytes(V6Channel *ch, const char *bytes, int size);
// Writes a buffer's bytes to the port. Always 1.
int32_t sendBuffer(V6Buffer *buf, V6Channel *ch);

uint32_t receiverThread(void *arg);
uint32_t transmitterThread(void *arg);

// ---- Request telegrams (requests.cpp, local_time.cpp) ---------------------------------

// Formats the telegram for curMsg into the buffer; 0 when the request is not served.
int32_t SendRequest(V6Channel *ch, V6Buffer *buf);
// List read of the setpoints (mode 1, MCC) or alarm limits (any other mode, MAS).
void SendListRead(V6Channel *ch, V6Buffer *buf, int mode);
// A write request of the engine's own onto the host output queue. Always 1.
int32_t queueSelfRequest(V6Channel *ch, uint32_t address, uint32_t index, uint16_t value);
// The same request, taken from the pool and filled but not queued; null when the pool is
// empty.
HostMsg *makeSelfRequest(V6Channel *ch, uint32_t address, uint32_t index, uint16_t value);

// Local time texts; each writes at most `size` bytes including the terminator.
void alarmTimeText(char *out, int size);
void dateText(char *out, int size);
void minuteText(char *out, int size);
void secondText(char *out, int size);
void histTimeText(char *out, int size, OrvelTime utc);
// One trace line with the calendar form of an ORVEL time.
void traceTimeStamp(const char *text, OrvelTime time, int number);

// ---- Reply parsers (parse_*.cpp) -----------------------------------------------------

// Each returns 1 to be called again (the host pool ran dry, or WGH finished a reply) and
// 0 when done.
int32_t FormatMCC(V6Channel *ch);
int32_t FormatMAS(V6Channel *ch);
int32_t FormatWGD(V6Channel *ch, int first);
int32_t formatWGH(V6Channel *ch, int first);
int32_t FormatWGS(V6Channel *ch, int first);
// Reads "yy mm dd hh mi " local time from [text, end) into *utc. Returns the position
// after the blank behind the minute, or null.
const char *GetHistTime(const char *text, const char *end, OrvelTime *utc);
// Hands the host a history-time message and keeps the time in curMsg for the next read.
int32_t writeHistTime(V6Channel *ch, uint32_t node, OrvelTime time);

// Entries of the node table in use (never more than the table holds).
inline uint32_t nodesInTable(const V6Channel *ch) {
    const auto size = static_cast<uint32_t>(HYDRIX_MAX_NODES);
    return ch->nodeCount < size ? ch->nodeCount : size;
}

// ---- Channel thread (channel_thread.cpp, reply_step.cpp) ------------------------------

enum State : uint32_t { ST_IDLE = 0, ST_SENDING = 1, ST_REPLY = 2, ST_ERROR = 3, ST_REOPEN = 4 };
enum Step : uint32_t {
    STEP_NONE = 0,
    STEP_MCC_SENT = 1,
    STEP_MAS_SENT = 2,
    STEP_WGS_SENT = 3,
    STEP_MCC_PARSE = 4,
    STEP_WGH_SENT = 5,
    STEP_WGD_SENT = 6,
    STEP_WGH_PARSE = 7,
    STEP_WGD_PARSE = 8,
    STEP_MAS_PARSE = 9,
    STEP_WGS_PARSE = 10,
    STEP_MCC_WRITE = 11,
    STEP_CALL_IN = 12,
    STEP_OK_SENT = 13,
    STEP_ALARMS = 14,
    STEP_ALO_SENT = 15
};

constexpr uint32_t SEND_TIMEOUT_MS = 10000;
constexpr uint32_t REPLY_TIMEOUT_MS = 10000;
constexpr uint32_t HISTORY_TIMEOUT_MS = 60000;
constexpr uint32_t CALL_IN_TIMEOUT_MS = 20000;

// Records a failure in curMsg and moves the channel to its error state.
void setErr(V6Channel *ch, uint32_t group, uint32_t code, uint32_t sub);
// Ends the exchange with a failure that trying again cannot mend (the station has no such
// data): curMsg goes to the host with the triple at once, without retries or a reopen.
void giveUp(V6Channel *ch, uint32_t group, uint32_t code, uint32_t sub);
// The five handlers of the channel thread, one per state.
void takeRequestStep(V6Channel *ch);
void sendWaitStep(V6Channel *ch);
void replyStep(V6Channel *ch);
void errorStep(V6Channel *ch);
void reopenStep(V6Channel *ch);

// Starts a wait of `ms` from now in `state` (time-out first, so that a thread reading the
// state sees the wait it belongs to).
void beginWait(V6Channel *ch, uint32_t state, uint32_t ms);

}  // namespace v6
