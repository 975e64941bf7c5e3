// The channel thread: takes one host request at a time, has its telegram sent, waits for
// the transmission and the reply, hands the reply to its parser, and deals with
// time-outs, retries and the reopening of the port.
#include <cstring>

#include "driver/engines.h"
#include "driver/state.h"
#include "platform/ticks.h"
#include "v6/v6.h"

namespace v6 {
namespace {

// Pauses between passes: after an idle pass, and after any other.
constexpr uint32_t IDLE_PASS_MS = 60;
constexpr uint32_t BUSY_PASS_MS = 10;
constexpr int MAX_PASSES_WITHOUT_PAUSE = 4;
constexpr int QUICK_IDLE_PASSES = 3;

int channelOf(const V6Channel *ch) { return static_cast<int>(ch->channelNo); }

bool hostReady() {
    const void *dap = getDap();
    if (dap == nullptr) return false;
    int16_t word = 0;
    std::memcpy(&word, static_cast<const char *>(dap) + 2, sizeof word);
    return word >= 2;
}

bool isHangUp(const HostMsg *msg) {
    return msg != nullptr && msg->direction != DIR_READ && (msg->address & 0xFFFF) == V6_BRK;
}

bool expired(const V6Channel *ch) { return timeExpired(ch->startTick.load()) > ch->timeoutMs.load(); }

}  // namespace

void beginWait(V6Channel *ch, uint32_t state, uint32_t ms) {
    ch->timeoutMs.store(ms);
    ch->startTick.store(plat::getTickCount());
    ch->state.store(state);
}

void setErr(V6Channel *ch, uint32_t group, uint32_t code, uint32_t sub) {
    textOutputParm("setErr() grp = %X, rc = %X Sub:%x", group, code, sub);
    if (HostMsg *msg = ch->curMsg.load()) {
        msg->errGroup = group;
        msg->errCode = code;
        msg->errSub = sub;
    }
    ch->state.store(ST_ERROR);
}

namespace {

// The driver is stopping: the exchange in progress ends now instead of running into its
// time-out (60 s for a history reply) and its retries, which would hold the host's stop.
// Its request goes back to the pool, as any request does while the host is not running;
// queued telegrams and frames and a reply a parser still holds go back to the free queue.
void endExchangeForStop(V6Channel *ch) {
    flushChannelQueues(ch);
    if (ch->replyBuffer != nullptr) {
        insBuf(ch, &ch->freeQueue, ch->replyBuffer);
        ch->replyBuffer = nullptr;
        ch->parseCursor = nullptr;
    }
    if (HostMsg *msg = ch->curMsg.exchange(nullptr)) putMsgToPool(channelOf(ch), msg);
    textOutputParm("[%d] Exchange ended by the stop", channelOf(ch));
    ch->retryCount = 0;
    ch->step.store(STEP_NONE);
    ch->state.store(ST_IDLE);
}

// Nothing is waiting and nothing is being served. What would keep postEvent answering 0
// for ever is settled here:
// - a hang-up still marked pending although its BRK is gone: dropped because the host
//   pool was empty, or drained by event 8 before it was sent. Nothing is left to wait for.
// - a step left behind by an exchange that ended without resetting it (an answer in the
//   alarm conversation that was neither ALR nor ALN, an SCE to a write): postEvent takes
//   the channel for busy while `step` is not 0. The alarm conversation's next telegram is
//   always queued before its step is left in place, so an empty queue means it is over.
// A station calling in (step 12) is awaited by preEvent's own time-out and is left alone.
void settleIdleChannel(V6Channel *ch, uint32_t hangupSeen) {
    if (hangupSeen == 1) {
        uint32_t pending = 1;
        if (ch->hangupPending.compare_exchange_strong(pending, 0))
            textOutputParm("[%d] Hang-up requests gone unsent", channelOf(ch));
        ch->hangupWrite.store(nullptr);
    }
    uint32_t step = ch->step.load();
    if (step != STEP_NONE && step != STEP_CALL_IN) ch->step.compare_exchange_strong(step, STEP_NONE);
}

}  // namespace

void giveUp(V6Channel *ch, uint32_t group, uint32_t code, uint32_t sub) {
    textOutputParm("setErr() grp = %X, rc = %X Sub:%x", group, code, sub);
    if (HostMsg *msg = ch->curMsg.exchange(nullptr)) {
        msg->errGroup = group;
        msg->errCode = code;
        msg->errSub = sub;
        if (hostTakesResults())
            putMsgToSapIq(channelOf(ch), msg);
        else
            putMsgToPool(channelOf(ch), msg);
    }
    ch->retryCount = 0;
    ch->step.store(STEP_NONE);
    ch->state.store(ST_IDLE);
}

void takeRequestStep(V6Channel *ch) {
    const int32_t c = channelOf(ch);
    if (currentDriverState() == DRV_STATE_STOPPING) {
        stopLowLevel(ch);
        // A request already served would otherwise never go back to the pool.
        if (HostMsg *done = ch->curMsg.exchange(nullptr)) putMsgToPool(c, done);
        return;
    }
    if (currentDriverState() != DRV_STATE_RUNNING || !hostReady()) return;
    // Late replies and telegrams of the previous exchange that were never sent. After an
    // answer that may have been a late one, no request is taken until the line is quiet.
    bool frameCame = false;
    while (V6Buffer *stray = takeBuf(ch, &ch->rxQueue)) {
        insBuf(ch, &ch->freeQueue, stray);
        frameCame = true;
    }
    flushChannelQueues(ch);
    if (lineSettling(ch, frameCame)) return;
    // The request just served: its results went to the host in messages of their own.
    if (HostMsg *done = ch->curMsg.exchange(nullptr)) {
        HostMsg *marked = done;
        ch->hangupWrite.compare_exchange_strong(marked, nullptr);
        putMsgToPool(c, done);
    }
    // Read before the queue is looked at: postEvent raises it only after queueing.
    const uint32_t hangup = ch->hangupPending.load();
    HostMsg *msg = getMsgFromSapOq(c);
    if (msg == nullptr) {
        settleIdleChannel(ch, hangup);
        return;
    }
    ch->curMsg.store(msg);
    msg->errGroup = 0;
    msg->errCode = 0;
    V6Buffer *buf = takeBuf(ch, &ch->freeQueue);
    if (buf == nullptr) {
        setErr(ch, ERRGRP_OUT_OF_BUFFERS, ERR_V6_NO_TX_BUFFER, 0);
        return;
    }
    if (SendRequest(ch, buf) == 1) {
        buf->returnQueue = &ch->txDoneQueue;
        // The state first: the receiver must not take the channel for idle meanwhile.
        beginWait(ch, ST_SENDING, SEND_TIMEOUT_MS);
        appBuf(ch, &ch->txQueue, buf);
    } else {
        insBuf(ch, &ch->freeQueue, buf);
    }
}

void sendWaitStep(V6Channel *ch) {
    V6Buffer *buf = takeBuf(ch, &ch->txDoneQueue);
    if (buf == nullptr) {
        if (expired(ch)) setErr(ch, ERRGRP_LINE_END, ERR_V6_TX_TIMEOUT, 0);
        return;
    }
    HostMsg *cur = ch->curMsg.load();
    if (isHangUp(cur)) {
        // The BRK awaits no reply: its exchange ends once it is on the wire, and only then
        // may the host release the line.
        ch->hangupPending.store(0);
        ch->hangupWrite.store(nullptr);
        ch->state.store(ST_IDLE);
        ch->step.store(STEP_NONE);
    } else if (cur != nullptr && cur == ch->hangupWrite.load()) {
        // The post-event write queued with the hang-up needs no reply either: it goes out
        // once, the BRK right after it. Awaited like a host's write, its SCO would start
        // the setpoint list read-back (one more telegram on a line being dropped, records
        // nobody asked for), and a station that ignores it would hold the hang-up through
        // every retry and then hand the host the failure of a request it never sent. The
        // hang-up stays pending until the BRK itself is written.
        ch->hangupWrite.store(nullptr);
        if (buf->ioErrCode != 0) textOutputParm("[%d] Post-event write not sent (%X)", channelOf(ch), buf->ioErrCode);
        ch->state.store(ST_IDLE);
        ch->step.store(STEP_NONE);
    } else if (buf->ioErrCode != 0) {
        // A write the port refused carries the port's triple (group 23, the system error).
        setErr(ch, buf->ioErrGroup != 0 ? buf->ioErrGroup : static_cast<uint32_t>(ERRGRP_LINE_END), buf->ioErrCode,
               buf->ioErrSub);
    } else if (ch->step.load() == STEP_ALO_SENT) {
        ch->startTick.store(plat::getTickCount());
        queueSelfRequest(ch, V6_WCA_ALARMS, 0, 0);
        ch->state.store(ST_IDLE);
        ch->step.store(STEP_ALARMS);
    } else {
        noteReplyWait(ch, true);
        beginWait(ch, ST_REPLY, ch->step.load() == STEP_WGH_SENT ? HISTORY_TIMEOUT_MS : REPLY_TIMEOUT_MS);
    }
    insBuf(ch, &ch->freeQueue, buf);
}

void errorStep(V6Channel *ch) {
    const int32_t c = channelOf(ch);
    textOutputParm("ERROR_STATE (%d,%d)", ch->retryCount, ch->maxRetries);
    flushChannelQueues(ch);
    ch->state.store(ST_IDLE);
    ch->retryCount += 1;
    HostMsg *msg = ch->curMsg.exchange(nullptr);
    if (ch->retryCount <= ch->maxRetries) {
        // Tried again at once, ahead of the requests already waiting. Behind them, the
        // station's late answer to this request (it may still come after the time-out)
        // would arrive while the next request waits and pass for that one's answer; to the
        // same request again it is an answer like the one awaited.
        if (msg != nullptr) insMsgToSapOq(c, msg);
        ch->step.store(STEP_NONE);
        return;
    }
    if (msg != nullptr) {
        if (hostTakesResults())
            putMsgToSapIq(c, msg);
        else
            putMsgToPool(c, msg);
    }
    ch->retryCount = 0;
    if (currentDriverState() == DRV_STATE_RUNNING) {
        ch->state.store(ST_REOPEN);
        ch->step.store(STEP_NONE);
    }
}

void reopenStep(V6Channel *ch) {
    if (ch->pauseIo.load() == 0) {
        ch->pauseIo.store(1);
        wake(ch, Sleeper::Receiver);
        wake(ch, Sleeper::Transmitter);
    }
    if (ch->rxPaused.load() == 0 || ch->txPaused.load() == 0) return;
    reopenCommHandle(channelOf(ch), &ch->commHandle);
    ch->pauseIo.store(0);
    wake(ch, Sleeper::Receiver);
    wake(ch, Sleeper::Transmitter);
    ch->state.store(ST_IDLE);
    ch->step.store(STEP_NONE);
}

uint32_t channelThread(void *arg) {
    auto *ch = static_cast<V6Channel *>(arg);
    int passesWithoutPause = 0;
    int idlePasses = QUICK_IDLE_PASSES;  // a channel starts at rest
    while (ch->stopChannelThread.load(std::memory_order_acquire) == 0) {
        uint32_t pause = BUSY_PASS_MS;
        const uint32_t state = ch->state.load();
        const uint32_t step = ch->step.load();
        // A port reopen in progress is finished first (it takes a moment); every other
        // exchange ends at once when the driver stops.
        if (currentDriverState() == DRV_STATE_STOPPING && state != ST_IDLE && state != ST_REOPEN)
            endExchangeForStop(ch);
        if (ch->state.load() != ST_IDLE) idlePasses = 0;
        switch (ch->state.load()) {
        case ST_IDLE:
            takeRequestStep(ch);
            // Right after an exchange the host often has its next request on the way: the
            // first idle passes look again soon, then the channel rests.
            pause = ++idlePasses > QUICK_IDLE_PASSES ? IDLE_PASS_MS : BUSY_PASS_MS;
            break;
        case ST_SENDING:
            sendWaitStep(ch);
            break;
        case ST_REPLY:
            replyStep(ch);
            break;
        case ST_ERROR:
            errorStep(ch);
            break;
        case ST_REOPEN:
            reopenStep(ch);
            break;
        default:
            break;
        }
        // A pass that moved the exchange on (a reply parsed and the channel idle again, a
        // history chunk done and its request queued again, a retry due) is followed by the
        // next pass at once, so that the next telegram does not wait out a pause; a few
        // in a row at most, so that nothing can keep the thread from resting.
        if ((ch->state.load() != state || ch->step.load() != step) && passesWithoutPause < MAX_PASSES_WITHOUT_PAUSE) {
            ++passesWithoutPause;
            continue;
        }
        passesWithoutPause = 0;
        // Queued buffers for this thread wake it at once; the host's queue cannot, so an
        // idle channel looks at it once per idle pause.
        sleepUntilWoken(ch, Sleeper::Channel, pause);
    }
    return 1;
}

}  // namespace v6
