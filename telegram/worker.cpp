// The channel worker: takes the channel's requests one at a time, serves them, retries
// failures and resets the line after a request has failed for good.
#include "driver/engines.h"
#include "driver/state.h"
#include "platform/ticks.h"
#include "telegram/addressing.h"
#include "telegram/exchange_lock.h"
#include "telegram/framing.h"
#include "telegram/handlers.h"

namespace tg {

namespace {

// Pause after a step that found nothing to do (an empty queue, a failed request). This
// is the longest the worker ever waits; between queued requests it does not wait at all.
constexpr uint32_t kIdleMs = 50;

int32_t takeRequest(TelegramChannel *ch) {
    if (currentDriverState() != DRV_STATE_RUNNING) return 0;
    HostMsg *msg = getMsgFromSapOq(static_cast<int32_t>(ch->channelNo));
    if (msg == nullptr) return 0;
    msg->errGroup = 0;
    msg->errCode = 0;
    ch->curMsg.store(msg);
    ch->state.store(STATE_SERVE);
    if (ch->curPlant.load() == -1) ch->curPlant.store(getPlantNumber(ch, msg->node));
    return 1;
}

int32_t finishFailed(TelegramChannel *ch) {
    HostMsg *msg = ch->curMsg.load();
    const int32_t channel = static_cast<int32_t>(ch->channelNo);
    if (msg == nullptr) {
        // Only after a failed request went back to the pool while the host was not
        // running; once the driver runs again (a new start), take requests again.
        if (currentDriverState() == DRV_STATE_RUNNING && hostTakesResults()) ch->state.store(STATE_TAKE);
        return 0;
    }
    if (!hostTakesResults()) {
        putMsgToPool(channel, msg);
        ch->curMsg.store(nullptr);
        return 0;
    }
    const int32_t failures = ch->retryCount++;
    // NDA is the station's answer, not a line fault: asking again cannot mend it, and the
    // line needs no reset. The request goes to the host at once with its triple.
    const bool stationHasNoData = msg->errGroup == ERRGRP_CONTENT && msg->errCode == ERR_NO_DATA;
    if (stationHasNoData) {
        putMsgToSapIq(channel, msg);
        ch->state.store(STATE_TAKE);
        ch->retryCount = 0;
    } else if (failures < ch->retries) {
        insMsgToSapOq(channel, msg);
        ch->state.store(STATE_TAKE);
    } else {
        if (getRequestKind(msg->address) == KIND_HISTORY) msg->timeStamp = zeroORVELTime();
        putMsgToSapIq(channel, msg);
        ch->state.store(STATE_REOPEN);
        ch->retryCount = 0;
    }
    ch->curMsg.store(nullptr);
    return 0;
}

int32_t reopenLine(TelegramChannel *ch) {
    reopenCommHandle(static_cast<int32_t>(ch->channelNo), &ch->commHandle);
    sendBreak(ch);
    ch->state.store(STATE_TAKE);
    return 0;
}

int32_t runStep(TelegramChannel *ch) {
    switch (ch->state.load()) {
    case STATE_TAKE:
        return takeRequest(ch);
    case STATE_SERVE:
        return serveRequest(ch);
    case STATE_FAILED:
        return finishFailed(ch);
    case STATE_REOPEN:
        return reopenLine(ch);
    default:
        ch->state.store(STATE_TAKE);
        return 0;
    }
}

}  // namespace

uint32_t channelWorker(void *arg) {
    auto *ch = static_cast<TelegramChannel *>(arg);
    markWorkerThread(ch);
    while (ch->stopRequest.load(std::memory_order_acquire) == 0) {
        int32_t busy;
        {
            ExchangeGuard guard(ch->channelNo, ExchangeSide::Worker);
            busy = runStep(ch);
        }
        if (!busy) plat::sleepMs(kIdleMs);
    }
    // Stopped with a request in hand (its exchange was ended by the stop): it goes back
    // to the pool, as every request does once the host no longer takes results.
    if (HostMsg *msg = ch->curMsg.exchange(nullptr)) {
        putMsgToPool(static_cast<int32_t>(ch->channelNo), msg);
        ch->retryCount = 0;
        ch->state.store(STATE_TAKE);
    }
    return 1;
}

}  // namespace tg
