// The exchanges around a connection: waiting for OK after a call, identifying a caller,
// and BRK to close the exchange with the station on the line.
#include <cstring>

#include "platform/ticks.h"
#include "telegram/addressing.h"
#include "telegram/framing.h"
#include "telegram/handlers.h"
#include "telegram/numbers.h"

namespace tg {

namespace {
void forgetStation(TelegramChannel *ch) {
    ch->pendErrCode = 0;
    ch->pendErrGroup = 0;
    std::memset(ch->rxBuf, 0, sizeof ch->rxBuf);
    ch->rxLen = 0;
    ch->curPlant.store(-1);
    ch->curNode.store(-1);
}
}  // namespace

void lineBusy(TelegramChannel *ch, int event) {
    forgetStation(ch);
    ch->pendErrGroup = ERRGRP_LINE;
    ch->pendErrCode = ERR_TIMEOUT;
    ch->pendErrSub = 0;
    textOutputParm("[C:%d] preEvent(%d): line busy, gave up", ch->channelNo, event);
}

int32_t hndlWaitOK(TelegramChannel *ch) { return hndlWaitOK(ch, plat::getTickCount()); }

int32_t hndlGetCallerPlantID(TelegramChannel *ch) { return hndlGetCallerPlantID(ch, plat::getTickCount()); }

int32_t hndlWaitOK(TelegramChannel *ch, uint32_t since) {
    forgetStation(ch);
    if (!readTelegramSince(ch, since)) return 0;
    if (checkRxTelegram(ch, TAG_WAIT_OK) != RX_OK) return 0;
    textOutputParm("hndlWaitOK: OK received.");
    return 1;
}

int32_t hndlGetCallerPlantID(TelegramChannel *ch, uint32_t since) {
    forgetStation(ch);
    if (!readTelegramSince(ch, since)) return 0;
    const int32_t r = checkRxTelegram(ch, TAG_CALLER);
    if (r != RX_ACT && r != RX_ALR) return 0;
    // The plant number follows the three-letter reply word.
    const int32_t plant = readInt(reinterpret_cast<const char *>(ch->rxBuf) + 5);
    ch->curPlant.store(plant);
    ch->curNode.store(getNodeNumber(ch, static_cast<uint32_t>(plant)));
    textOutputParm(r == RX_ACT ? "hndlGetCallerPlantID: ACT Got Plant ID: %d (ORVEL Node: %d)"
                               : "hndlGetCallerPlantID: ALR Got Plant ID: %d (ORVEL Node: %d)",
                   plant, ch->curNode.load());
    return 1;
}

int32_t sendBreak(TelegramChannel *ch) {
    std::memset(ch->txBuf, 0, sizeof ch->txBuf);
    ch->txLen = 0;
    formatTelegram(ch, " %d BRK #", ch->curPlant.load());
    return writeTelegram(ch);
}

}  // namespace tg
