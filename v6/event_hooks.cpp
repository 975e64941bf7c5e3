// The v6 engine's half of the connection event hooks. They run on the host's threads and
// only set the channel's state and queue requests; the channel thread does the talking.
#include "driver/engines.h"
#include "platform/ticks.h"
#include "v6/v6.h"

namespace v6 {
namespace {

enum Event : int8_t {
    EV_CONNECTED = 1,
    EV_CALLER_ID = 2,
    EV_NODE_WORD = 3,
    EV_CALL_IN = 5,
    EV_CALL_IN_2 = 7,
    EV_DRAIN = 8
};

bool idle(const V6Channel *ch) { return ch->state.load() == ST_IDLE && ch->step.load() == STEP_NONE; }

}  // namespace

int32_t preEvent(V6Channel *ch, int8_t event, uint32_t node, int32_t *resultFlag) {
    const auto c = static_cast<int32_t>(ch->channelNo);
    switch (event) {
    case EV_CONNECTED:
        // The "OK" telegram opens the alarm conversation with the station on the line.
        queueSelfRequest(ch, V6_OK, 0, 0);
        ch->callerStation.store(-1);
        ch->currentStation.store(-1);
        ch->replyStation.store(-1);
        ch->disconnectReady.store(1);
        ch->state.store(ST_IDLE);
        ch->step.store(STEP_NONE);
        break;
    case EV_CALLER_ID:
        if (resultFlag != nullptr) *resultFlag = 0;
        break;
    case EV_NODE_WORD: {
        const uint32_t count = nodesInTable(ch);
        for (uint32_t i = 0; i < count; ++i)
            if (ch->nodeTable[i].node == node) return static_cast<int32_t>(ch->nodeTable[i].word);
        return -1;
    }
    case EV_CALL_IN:
    case EV_CALL_IN_2:
        // A station has called: its "OK" is awaited.
        noteReplyWait(ch, false);
        ch->timeoutMs.store(CALL_IN_TIMEOUT_MS);
        ch->startTick.store(plat::getTickCount());
        ch->step.store(STEP_CALL_IN);
        ch->state.store(ST_REPLY);
        ch->disconnectReady.store(1);
        wake(ch, Sleeper::Channel);
        break;
    case EV_DRAIN:
        ch->hangupWrite.store(nullptr);
        while (HostMsg *msg = getMsgFromSapOq(c)) putMsgToPool(c, msg);
        break;
    default:
        break;
    }
    return ch->callerStation.load();
}

int32_t postEvent(V6Channel *ch) {
    if (ch->disconnectReady.load() == 1 && idle(ch)) {
        if (ch->postEventEnabled == 1) {
            // Marked before it is queued: the channel thread sends it without awaiting an
            // answer (see sendWaitStep).
            if (HostMsg *write = makeSelfRequest(ch, ch->postEventKind, ch->postEventIndex, ch->postEventValue)) {
                ch->hangupWrite.store(write);
                putMsgToSapOq(static_cast<int32_t>(ch->channelNo), write);
            }
        }
        queueSelfRequest(ch, V6_BRK, 0, 0);
        ch->disconnectReady.store(0);
        ch->hangupPending.store(1);
        return 0;
    }
    if (ch->disconnectReady.load() == 1) return 0;
    if (ch->hangupPending.load() == 1) return 0;
    ch->disconnectReady.store(1);
    return 1;
}

int32_t canDisconnect(V6Channel *ch) {
    const auto c = static_cast<int32_t>(ch->channelNo);
    HostMsg *waiting = getMsgFromSapOq(c);
    if (waiting != nullptr) insMsgToSapOq(c, waiting);
    const bool free = waiting == nullptr && ch->curMsg.load() == nullptr;
    if (ch->state.load() == ST_IDLE && free && ch->disconnectReady.load() == 1) {
        textOutput("canDisconnect: TRUE");
        return 1;
    }
    return 0;
}

}  // namespace v6
