// Alarm read (WCA) and acknowledge (ALO): one alarm per pass until the station answers ALN.
#include <cstring>

#include "platform/systime.h"
#include "telegram/addressing.h"
#include "telegram/framing.h"
#include "telegram/handlers.h"
#include "telegram/parsers.h"
#include "telegram/pool.h"

namespace tg {

namespace {
constexpr int kAlarmPoolAttempts = 100;
constexpr uint32_t kAlarmAddress = 0x400;
}  // namespace

int32_t hndlRequestAlarms(TelegramChannel *ch, int32_t *again) {
    *again = 0;
    HostMsg *msg = ch->curMsg.load();
    plat::SystemTime now{};
    plat::getLocalTime(&now);
    prepareRequest(ch);
    const int32_t plant = getPlantNumber(ch, msg->node);
    formatTelegram(ch, " %d WCA 0 %d %d %d %d %d #", plant, now.wYear - 2000, now.wMonth, now.wDay,
                   now.wHour, now.wMinute);
    textOutputParm("[C:%d-N:%d]:hndlRequestAlarms: Reading alarms from plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), plant);
    textOutputParm("Reading from: %04d/%02d/%02d %02d:%02d (local)", now.wYear, now.wMonth, now.wDay,
                   now.wHour, now.wMinute);
    const int32_t r = exchangeTelegram(ch, TAG_ALARM);
    if (r < 0) return 0;
    // ALN is the station's word for "no more alarms", the normal end of the series. Any
    // other reply is a failure that says what came (NDA is not how a station tells that
    // it has no alarms; there the tag stands as the sub-code): handed back without an
    // error, the series would end with the station's alarms unread.
    if (r == RX_ALN) return 1;
    if (r != RX_ALR) return replyFailure(ch, r, TAG_ALARM, TAG_ALARM, "hndlRequestAlarms");

    AlarmRecord alarm{};
    if (!parseAlarmRecord(ch, reinterpret_cast<const char *>(ch->rxBuf) + 1, &alarm)) return 0;
    const plat::SystemTime &t = alarm.localTime;
    textOutputParm("hndlRequestAlarms: Got alarm from node %d code=%d, fl=%d, "
                   "%04d/%02d/%02d %02d:%02d:%02d (Local)",
                   alarm.alarmNode, alarm.alarmCode, static_cast<int>(alarm.flag), t.wYear, t.wMonth,
                   t.wDay, t.wHour, t.wMinute, t.wSecond);

    // The alarm is parsed; while the pool is empty the line may serve the host's events
    // (the reply in rxBuf is not needed any more). An alarm that cannot be handed on is
    // not acknowledged, so the station keeps it for the next read.
    int attempts = 0;
    HostMsg *out = takeFromPool(ch, &attempts, kAlarmPoolAttempts);
    if (out == nullptr) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_ALARM_NO_MSG;
        ch->pendErrSub = 0;
        textOutputParm("hndlRequestAlarms: Out of buffers.");
        return 0;
    }
    out->node = msg->node;
    out->address = kAlarmAddress;
    out->index = static_cast<uint32_t>(alarm.alarmCode);
    out->direction = DIR_READ;
    out->length = 1;
    out->errGroup = 0;
    out->errCode = 0;
    out->errSub = 0;
    out->timeStamp = alarm.utcTime;
    const uint16_t flagWord = alarm.flag ? 0xFFFF : 0;
    std::memcpy(out->data, &flagWord, sizeof flagWord);
    putMsgToSapIq(static_cast<int32_t>(ch->channelNo), out);

    // The acknowledge; no reply is awaited. The reply stays in rxBuf.
    std::memset(ch->txBuf, 0, sizeof ch->txBuf);
    ch->txLen = 0;
    const int32_t ackPlant = getPlantNumber(ch, msg->node);
    formatTelegram(ch, " %d ALO #", ch->directConn != 0 ? ackPlant : 0);
    textOutputParm("[C:%d-N:%d]:hndlRequestAlarms:  alarms from plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), ackPlant);
    writeTelegram(ch);
    *again = 1;
    return 1;
}

}  // namespace tg
