// The telegram engine's side of the connection events. These run on the host's thread
// and talk to the station at once, under the channel's exchange lock.
#include "driver/engines.h"
#include "platform/ticks.h"
#include "telegram/addressing.h"
#include "telegram/exchange_lock.h"
#include "telegram/framing.h"
#include "telegram/handlers.h"

namespace tg {

namespace {
constexpr uint32_t kAlarmReadAddress = 0x400;  // kind 4, item 0

// The host's thread waits for the line (the worker may be in the middle of an exchange)
// no longer than a telegram may take to start, and that wait counts toward the start of
// the telegram it then reads (whose bytes wait in the port meanwhile). So an event never
// holds the host longer than one telegram read: 5 s to its start and 5 s for its body.
// When the worker keeps the line that long, the event gives up as if nothing had come.
bool takeLine(TelegramChannel *ch, int event) {
    if (tryLockExchange(ch->channelNo, REPLY_TIMEOUT_MS)) return true;
    lineBusy(ch, event);
    return false;
}
}  // namespace

int32_t preEvent(TelegramChannel *ch, int8_t event, int32_t *resultFlag) {
    if (resultFlag != nullptr) *resultFlag = 1;
    switch (event) {
    case 1:
        ch->curPlant.store(-1);
        ch->curNode.store(-1);
        break;
    case 2: {
        const uint32_t asked = plat::getTickCount();
        if (!takeLine(ch, event)) break;
        const bool identified = hndlGetCallerPlantID(ch, asked) != 0;
        unlockExchange(ch->channelNo);
        if (!identified) break;
        const int32_t channel = static_cast<int32_t>(ch->channelNo);
        if (HostMsg *msg = getMsgFromPool(channel)) {
            msg->node = static_cast<uint32_t>(ch->curNode.load());
            msg->address = kAlarmReadAddress;
            msg->index = 0;
            msg->direction = DIR_READ;
            insMsgToSapOq(channel, msg);
        }
        break;
    }
    case 5:
    case 7: {
        const uint32_t asked = plat::getTickCount();
        if (!takeLine(ch, event)) break;
        hndlWaitOK(ch, asked);
        unlockExchange(ch->channelNo);
        break;
    }
    default:
        break;
    }
    return ch->curNode.load();
}

int32_t postEvent(TelegramChannel *) { return 1; }

namespace {
// A worker that is in the middle of an exchange is busy: the host is not kept waiting
// for it longer than this. An idle worker holds the lock only for a moment.
constexpr uint32_t kBusyWaitMs = 200;

int32_t disconnectIfIdle(TelegramChannel *ch) {
    const int32_t channel = static_cast<int32_t>(ch->channelNo);
    HostMsg *waiting = getMsgFromSapOq(channel);
    if (waiting != nullptr) insMsgToSapOq(channel, waiting);
    const bool free = waiting == nullptr && ch->curMsg.load() == nullptr;
    if (ch->state.load() != STATE_TAKE || !free) return 0;
    textOutputParm("[%d] Driver ready to disconnect", ch->channelNo);
    sendBreak(ch);
    return 1;
}
}  // namespace

int32_t canDisconnect(TelegramChannel *ch) {
    if (!tryLockExchange(ch->channelNo, kBusyWaitMs)) return 0;
    const int32_t result = disconnectIfIdle(ch);
    unlockExchange(ch->channelNo);
    return result;
}

}  // namespace tg
