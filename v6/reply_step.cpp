// The reply step of the channel thread: what a received frame means depends on the
// exchange in progress (`step`) and on its lead byte and reply word.
#include <cstring>

#include "driver/state.h"
#include "v6/reply_text.h"
#include "v6/v6.h"

namespace v6 {
namespace {

constexpr int MAX_STATION_FIELD = 10;

void finishExchange(V6Channel *ch) {
    ch->retryCount = 0;
    ch->state.store(ST_IDLE);
    ch->step.store(STEP_NONE);
}

void freeBuffer(V6Channel *ch, V6Buffer *buf) { insBuf(ch, &ch->freeQueue, buf); }

// The exchange ends with this frame; `step` keeps its value.
void commonEnd(V6Channel *ch, V6Buffer *buf) {
    freeBuffer(ch, buf);
    ch->retryCount = 0;
    ch->state.store(ST_IDLE);
}

// A parse that is to go on (mostly one waiting for the host's pool) once the driver no
// longer runs: the pool may stay empty for good, and the stop must not wait for it. The
// reply goes back to the line buffers and the request to the pool; nothing more is
// handed to the host.
void abandonParse(V6Channel *ch) {
    textOutputParm("[%d] Reply dropped: the driver stops", static_cast<int>(ch->channelNo));
    releaseReply(ch);
    ch->parse.histReport = V6ParseState::Report::None;
    if (HostMsg *msg = ch->curMsg.exchange(nullptr)) putMsgToPool(static_cast<int32_t>(ch->channelNo), msg);
}

// Calls the parser of a reply being worked through. False when `step` is no parse step.
bool resumeParse(V6Channel *ch, uint32_t step, int32_t *result) {
    const bool parsing = step == STEP_MCC_PARSE || step == STEP_MAS_PARSE || step == STEP_WGD_PARSE ||
                         step == STEP_WGH_PARSE || step == STEP_WGS_PARSE;
    if (parsing && currentDriverState() != DRV_STATE_RUNNING) {
        abandonParse(ch);
        *result = 0;
        return true;
    }
    switch (step) {
    case STEP_MCC_PARSE:
        *result = FormatMCC(ch);
        return true;
    case STEP_MAS_PARSE:
        *result = FormatMAS(ch);
        return true;
    case STEP_WGD_PARSE:
        *result = FormatWGD(ch, 0);
        return true;
    case STEP_WGH_PARSE:
        *result = formatWGH(ch, 0);
        return true;
    case STEP_WGS_PARSE:
        *result = FormatWGS(ch, 0);
        return true;
    default:
        return false;
    }
}

struct ReadReply {
    uint32_t sent;            // step after the read telegram went out
    uint32_t parse;           // step while its reply is parsed
    const char *notReleased;  // trace when an earlier reply was still held
};
constexpr ReadReply READ_REPLIES[] = {
    {STEP_MCC_SENT, STEP_MCC_PARSE, "Buffer not released 1"}, {STEP_WGH_SENT, STEP_WGH_PARSE, "Buffer not released 2"},
    {STEP_WGD_SENT, STEP_WGD_PARSE, "Buffer not released 3"}, {STEP_MAS_SENT, STEP_MAS_PARSE, "Buffer not released 4"},
    {STEP_WGS_SENT, STEP_WGS_PARSE, "Buffer not released 5"},
};

const ReadReply *readReplyFor(uint32_t step) {
    for (const ReadReply &r : READ_REPLIES)
        if (r.sent == step) return &r;
    return nullptr;
}

int32_t startParse(V6Channel *ch, uint32_t parseStep) {
    switch (parseStep) {
    case STEP_MCC_PARSE:
        return FormatMCC(ch);
    case STEP_WGH_PARSE:
        return formatWGH(ch, 1);
    case STEP_WGD_PARSE:
        return FormatWGD(ch, 1);
    case STEP_MAS_PARSE:
        return FormatMAS(ch);
    default:
        return FormatWGS(ch, 1);
    }
}

// A data reply to a read: the parser takes the buffer over.
void beginParse(V6Channel *ch, V6Buffer *buf, const ReadReply &r) {
    if (ch->replyBuffer != nullptr) {
        freeBuffer(ch, ch->replyBuffer);
        ch->replyBuffer = nullptr;
        textOutput(r.notReleased);
    }
    ch->step.store(r.parse);
    ch->parseCursor = buf->data + (r.parse == STEP_WGH_PARSE ? 2 : 1);
    ch->replyBuffer = buf;
    // A parser that is done on its first call is not called again: a reply it gave up on
    // for a malformed field would otherwise be worked through a second time.
    if (startParse(ch, r.parse) == 0) finishExchange(ch);
}

// The "OK" telegram went out after a connection: the station answers ALR with its
// number (the ALO acknowledge follows), or ALN when it has nothing.
// The calling station has no more alarms. Its number is set before the line goes idle,
// so a host that sees the conversation over and asks who called gets the station.
void alarmConversationOver(V6Channel *ch) {
    ch->callerStation.store(ch->replyStation.load());
    textOutput("Recv ALN Send BREAK ??");
    ch->state.store(ST_IDLE);
    ch->step.store(STEP_NONE);
}

bool okSentReply(V6Channel *ch, V6Buffer *buf, const ReplyText &t) {
    if (wordAt(t, 2, "ALR")) {
        // A number without a blank behind it runs to the end of the text.
        const char *number = t.begin + 6;
        const int32_t station = boundedAtoi(number, t.end);
        ch->replyStation.store(station);
        ch->currentStation.store(station);
        const int n = fieldLength(number, t.end);
        if (n > MAX_STATION_FIELD) {
            textOutputParm("Recv1 error n = %d", n);
            freeBuffer(ch, buf);
            return false;
        }
        queueSelfRequest(ch, V6_ALO_ACK, 0, 0);
        ch->state.store(ST_IDLE);
        ch->step.store(STEP_ALARMS);
        ch->retryCount = 0;
    } else if (wordAt(t, 2, "ALN")) {
        alarmConversationOver(ch);
    }
    return true;
}

// A short STX reply outside a read: an unsolicited ACT or ALN, or the answer to a write.
// Returns false when the reply started another telegram in the same buffer.
bool wordReply(V6Channel *ch, V6Buffer *buf, const ReplyText &t, uint32_t step) {
    if (wordAt(t, 4, "ACT")) {
        textOutput("Recv ACT");
        ch->replyStation.store(boundedAtoi(t.begin + 2, t.end));
    } else if (wordAt(t, 2, "ALN")) {
        textOutput("Recv ALN");
    } else if (wordAt(t, 2, "SCO")) {
        textOutput("Recv SCO");
        ch->retryCount = 0;
        ch->state.store(ST_IDLE);
        const HostMsg *msg = ch->curMsg.load();
        if (msg != nullptr && msg->direction == DIR_WRITE && step == STEP_MCC_WRITE) {
            // A setpoint write is followed by reading the list back.
            SendListRead(ch, buf, 1);
            buf->returnQueue = &ch->txDoneQueue;
            beginWait(ch, ST_SENDING, SEND_TIMEOUT_MS);
            appBuf(ch, &ch->txQueue, buf);
            return false;
        }
    } else if (wordAt(t, 2, "SCE")) {
        textOutput("Recv SCE");
    }
    return true;
}

// A station may acknowledge a telegram with "OK" and send its answer after it. Handed to
// a parser, the OK would end the exchange (or, for the history, send the same WGH again)
// and the answer that follows would be taken for the reply to the next telegram, so
// that every history record came twice. The OK is passed over instead, as the telegram
// engine does: the wait for the answer goes on, within the time-out of the telegram
// (which the OK does not restart, so a station that answers nothing but OK still ends
// in the time-out). This holds only for a telegram of ours that awaits an answer; for a
// station calling in, OK is the answer itself, and an OK nobody asked for ends as any
// unsolicited frame does.
bool okComesBeforeTheAnswer(const V6Channel *ch, uint32_t step) {
    if (!replyWaitIsForOwnTelegram(ch) || ch->curMsg.load() == nullptr) return false;
    switch (step) {
    case STEP_MCC_SENT:
    case STEP_MAS_SENT:
    case STEP_WGS_SENT:
    case STEP_WGH_SENT:
    case STEP_WGD_SENT:
    case STEP_MCC_WRITE:
    case STEP_OK_SENT:
    case STEP_ALARMS:
        return true;
    default:
        return false;
    }
}

// What the telegram in flight awaits, and how a failure of it is told to the host: the
// request tag (1 picture, 2 report, 3 setpoint and alarm-limit lists and writes and
// machine commands, 4 history) and the detail of an NDA (1 report, 2 setpoint or limit
// list, the picture number for a picture).
enum class Awaits { Nothing, Data, Confirmation };
struct Awaited {
    Awaits what;
    uint32_t tag;
    uint32_t noDataSub;
    bool noDataEnds = false;   // NDA is the normal end (the history), not a failure
    bool scoConfirms = false;  // SCO says the station carried the request out (a machine command)
};

Awaited awaitedAnswer(const V6Channel *ch, uint32_t step) {
    const HostMsg *msg = ch->curMsg.load();
    if (msg == nullptr) return {Awaits::Nothing, 0, 0};
    const uint32_t code = msg->address & 0xFFFF;
    const uint32_t picture = (msg->address >> 16) & 0xFF;
    const bool write = msg->direction != DIR_READ;
    constexpr uint32_t TAG_PICTURE = 1, TAG_REPORT = 2, TAG_LIST = 3, TAG_HISTORY = 4;
    constexpr uint32_t NDA_REPORT = 1, NDA_LIST = 2;
    constexpr uint32_t NO_STEP = ~0u;  // a request with no answer of its own to check
    uint32_t sentStep = NO_STEP;
    Awaited a{Awaits::Data, TAG_LIST, NDA_LIST};
    if (code <= V6_MCC_WRITE_LAST && write) {
        // SCO, then the list read back in the same exchange.
        if (step == STEP_MCC_WRITE) return {Awaits::Confirmation, TAG_LIST, 0};
        sentStep = STEP_MCC_SENT;
    } else if (code == V6_MAS_WRITE && write) {
        // Its telegram sets no step of its own: whatever `step` holds, it awaits SCO.
        return {Awaits::Confirmation, TAG_LIST, 0};
    } else if (code == V6_MCC_READ) {
        sentStep = STEP_MCC_SENT;
    } else if (code == V6_MAS_READ) {
        sentStep = STEP_MAS_SENT;
    } else if (code == V6_WGD_REPORT) {
        sentStep = STEP_WGD_SENT;
        a = {Awaits::Data, TAG_REPORT, NDA_REPORT};
    } else if (code == V6_WGS_PICTURE) {
        sentStep = STEP_WGS_SENT;
        a = {Awaits::Data, TAG_PICTURE, picture};
    } else if (code == V6_MACHINE && write) {
        // Answered with the machine's picture, or confirmed with SCO: either way the
        // station has carried the command out, and it is never sent again.
        sentStep = STEP_WGS_SENT;
        a = {Awaits::Data, TAG_LIST, picture, false, true};
    } else if (code == V6_WGH_HISTORY) {
        sentStep = STEP_WGH_SENT;
        a = {Awaits::Data, TAG_HISTORY, 0, true};
    }
    return step == sentStep ? a : Awaited{Awaits::Nothing, 0, 0};
}

const char *replyWord(const ReplyText &t) {
    for (const char *word : {"NDA", "SCE", "SCO", "ALR", "ALN"})
        if (wordAt(t, 2, word)) return word;
    return nullptr;
}

// A frame in answer to a telegram of ours that is not the answer it awaits. Taken as it
// stood, an NDA, SCE or stray reply word would end the exchange "done" with no values
// and no error, or reach a parser that finds nothing in it, and the host would go on
// showing what it had as if it were fresh. Instead the host is told:
// - SCE (the station found our telegram in error): 41/17677 with the request tag,
//   tried again per Retries like any line failure;
// - NDA to a read (the station has no such data): 41/17676, given up at once, as asking
//   again cannot mend it; the history's NDA is its normal end and goes to its parser;
// - another reply word, a data reply where SCO was awaited, or an SOH frame other than a
//   station's MRC: the bad-telegram triple 20/17668 with the request tag, tried again.
// A station's ACT or MRC is no answer at all: it is noted and the wait goes on.
// Returns true when it took the buffer.
bool answerFailed(V6Channel *ch, V6Buffer *buf, const ReplyText &t, char lead, uint32_t step) {
    const Awaited a = awaitedAnswer(ch, step);
    if (a.what == Awaits::Nothing) return false;
    const bool act = lead == STX && wordAt(t, 4, "ACT");
    if (act || (lead == SOH && wordAt(t, 4, "MRC"))) {
        if (act) textOutput("Recv ACT");
        ch->replyStation.store(boundedAtoi(t.begin + 2, t.end));
        freeBuffer(ch, buf);
        return true;
    }
    const char *word = lead == STX ? replyWord(t) : nullptr;
    const auto is = [word](const char *w) { return word != nullptr && std::strcmp(word, w) == 0; };
    if (lead == STX && a.what == Awaits::Data && (word == nullptr || (is("NDA") && a.noDataEnds))) return false;
    if ((a.what == Awaits::Confirmation || a.scoConfirms) && is("SCO")) return false;
    freeBuffer(ch, buf);
    if (is("SCE")) {
        textOutput("Recv SCE");
        setErr(ch, ERRGRP_CONTENT, ERR_SCE, a.tag);
    } else if (is("NDA") && a.what == Awaits::Data) {
        textOutput("Recv NDA");
        giveUp(ch, ERRGRP_CONTENT, ERR_NO_DATA, a.noDataSub);
    } else {
        textOutputParm("[%d] Unexpected reply", static_cast<int>(ch->channelNo));
        setErr(ch, ERRGRP_LINE, ERR_FRAMING, a.tag);
    }
    return true;
}

// A reply too long for the engine's line buffers. The station would send the same reply
// again and again, so the exchange is not tried again: the request goes to the host at
// once as a bad telegram, 20/17668 with the request tag. A long frame nobody asked for,
// or one in the engine's own conversation with a calling station, is dropped.
void frameTooLong(V6Channel *ch, V6Buffer *buf, uint32_t step) {
    freeBuffer(ch, buf);
    const Awaited a = awaitedAnswer(ch, step);
    if (!replyWaitIsForOwnTelegram(ch) || a.what == Awaits::Nothing) {
        ch->state.store(ST_IDLE);
        return;
    }
    giveUp(ch, ERRGRP_LINE, ERR_FRAMING, a.tag);
}

}  // namespace

void replyStep(V6Channel *ch) {
    const uint32_t step = ch->step.load();
    int32_t parsed = 0;
    if (resumeParse(ch, step, &parsed)) {
        // Frames that arrived meanwhile stay queued until the next request drops them.
        if (parsed == 0) finishExchange(ch);
        return;
    }
    V6Buffer *buf = takeBuf(ch, &ch->rxQueue);
    if (buf == nullptr) {
        if (timeExpired(ch->startTick.load()) > ch->timeoutMs.load()) {
            const bool own = replyWaitIsForOwnTelegram(ch);
            if (own) noteAnswerOwed(ch);
            setErr(ch, ERRGRP_LINE, ERR_V6_RX_TIMEOUT, 0);
        }
        return;
    }
    if (buf->ioErrCode == RX_ERR_TOO_LONG) {
        frameTooLong(ch, buf, step);
        return;
    }
    if (buf->ioErrCode != 0 || buf->length < 3) {
        const uint32_t code = buf->ioErrCode, sub = buf->ioErrSub;
        freeBuffer(ch, buf);
        setErr(ch, ERRGRP_LINE, code, sub);
        return;
    }
    const ReplyText t = replyText(buf);
    const char lead = buf->data[0];
    if (wordAt(t, 2, "OK") && okComesBeforeTheAnswer(ch, step)) {
        freeBuffer(ch, buf);
        return;
    }
    if (replyWaitIsForOwnTelegram(ch)) {
        if (answerFailed(ch, buf, t, lead, step)) return;
        answerCame(ch);
    }

    if (step == STEP_CALL_IN) {
        if (wordAt(t, 2, "OK")) finishExchange(ch);
        freeBuffer(ch, buf);
        return;
    }
    if (step == STEP_OK_SENT) {
        if (okSentReply(ch, buf, t)) commonEnd(ch, buf);
        return;
    }
    if (step == STEP_ALARMS) {
        if (wordAt(t, 2, "ALR") || wordAt(t, 2, "ALN")) {
            alarmConversationOver(ch);
        }
        commonEnd(ch, buf);
        return;
    }
    if (lead == SOH) {
        if (wordAt(t, 4, "MRC")) ch->replyStation.store(boundedAtoi(t.begin + 2, t.end));
        commonEnd(ch, buf);
        return;
    }
    if (lead != STX) {
        const uint32_t code = buf->ioErrCode, sub = buf->ioErrSub;
        freeBuffer(ch, buf);
        setErr(ch, ERRGRP_LINE, code, sub);
        return;
    }
    // An SCO is a confirmation, never data to parse (a machine command's, here).
    const ReadReply *r = readReplyFor(step);
    if (r != nullptr && !wordAt(t, 2, "SCO")) {
        beginParse(ch, buf, *r);
        return;
    }
    if (wordReply(ch, buf, t, step)) commonEnd(ch, buf);
}

}  // namespace v6
