// The serve step: picks the handler by request kind and direction and routes the result.
#include "driver/state.h"
#include "telegram/addressing.h"
#include "telegram/handlers.h"

namespace tg {

namespace {

bool isRead(uint32_t direction) { return direction == DIR_READ || direction == DIR_READ_TIME; }

// Runs the handler of the request. Returns 1 done, 0 failed, -1 unknown kind (the error
// is then already in the message). History and alarm reads set *multiPass and *again.
int32_t runHandler(TelegramChannel *ch, HostMsg *msg, bool *multiPass, int32_t *again) {
    const uint32_t kind = getRequestKind(msg->address);
    if (isRead(msg->direction)) {
        switch (kind) {
        case KIND_PICTURE:
            return hndlRequestPicture(ch);
        case KIND_REPORT:
            return hndlRequestReport(ch);
        case KIND_SETPOINTS:
            return hndlRequestSetpoints(ch);
        case KIND_HISTORY:
            *multiPass = true;
            return hndlRequestHistory(ch, again);
        case KIND_ALARMS:
            *multiPass = true;
            return hndlRequestAlarms(ch, again);
        default:
            msg->errGroup = ERRGRP_CONTENT;
            msg->errCode = ERR_UNKNOWN_READ;
            msg->errSub = kind;
            return -1;
        }
    }
    switch (kind) {
    case KIND_SETPOINTS:
        return hndlWriteSetpoints(ch);
    case KIND_MACHINE:
        return hndlMachineControl(ch);
    default:
        msg->errGroup = ERRGRP_CONTENT;
        msg->errCode = ERR_UNKNOWN_WRITE;
        msg->errSub = kind;
        return -1;
    }
}

}  // namespace

int32_t serveRequest(TelegramChannel *ch) {
    HostMsg *msg = ch->curMsg.load();
    const int32_t channel = static_cast<int32_t>(ch->channelNo);
    if (msg == nullptr) {
        ch->state.store(STATE_TAKE);
        return 1;
    }
    bool multiPass = false;
    int32_t again = 0;
    const int32_t result = runHandler(ch, msg, &multiPass, &again);
    if (result == 0) {
        setErr(ch, ch->pendErrGroup, ch->pendErrCode, ch->pendErrSub);
        return 1;
    }
    if (result > 0 && multiPass) {
        // The data went to the host in messages of its own; the request itself either
        // comes round again or is done.
        if (again)
            putMsgToSapOq(channel, msg);
        else
            putMsgToPool(channel, msg);
        ch->curMsg.store(nullptr);
    }
    if (HostMsg *done = ch->curMsg.load()) {
        if (hostTakesResults())
            putMsgToSapIq(channel, done);
        else
            putMsgToPool(channel, done);
    }
    ch->curMsg.store(nullptr);
    ch->retryCount = 0;
    ch->state.store(STATE_TAKE);
    return 1;
}

}  // namespace tg
