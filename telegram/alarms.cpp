// Alarm read (WCA) and acknowledge (ALO): one alarm per pass until the station answers ALN.
#include <atomic>
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

// The alarm each channel acknowledged last: node, code and flag in one word (top bit set
// once there is one), and its time.
struct AckedAlarm {
    std::atomic<uint64_t> key{0};
    std::atomic<OrvelTime> time{0};
};
AckedAlarm lastAcked[HYDRIX_CHANNELS];

uint64_t alarmKey(const AlarmRecord &a) {
    return (uint64_t{1} << 63) | (uint64_t{static_cast<uint16_t>(a.alarmNode)} << 40) |
           (uint64_t{static_cast<uint32_t>(a.alarmCode)} << 1) | (a.flag != 0 ? 1U : 0U);
}

bool acknowledgedLast(const TelegramChannel *ch, const AlarmRecord &a) {
    const AckedAlarm &last = lastAcked[ch->channelNo % HYDRIX_CHANNELS];
    return last.key.load() == alarmKey(a) && last.time.load() == a.utcTime;
}

// The acknowledge; no reply is awaited. The reply stays in rxBuf.
void acknowledge(TelegramChannel *ch, const HostMsg *msg, const AlarmRecord &alarm) {
    std::memset(ch->txBuf, 0, sizeof ch->txBuf);
    ch->txLen = 0;
    const int32_t ackPlant = getPlantNumber(ch, msg->node);
    formatTelegram(ch, " %d ALO #", ch->directConn != 0 ? ackPlant : 0);
    textOutputParm("[C:%d-N:%d]:hndlRequestAlarms:  alarms from plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), ackPlant);
    AckedAlarm &last = lastAcked[ch->channelNo % HYDRIX_CHANNELS];
    last.key.store(alarmKey(alarm));
    last.time.store(alarm.utcTime);
    writeTelegram(ch);
}

// Reads the alarm out of an ALR reply in rxBuf and traces it.
bool readAlarm(TelegramChannel *ch, AlarmRecord *alarm) {
    if (!parseAlarmRecord(ch, reinterpret_cast<const char *>(ch->rxBuf) + 1, alarm)) return false;
    const plat::SystemTime &t = alarm->localTime;
    textOutputParm("hndlRequestAlarms: Got alarm from node %d code=%d, fl=%d, "
                   "%04d/%02d/%02d %02d:%02d:%02d (Local)",
                   alarm->alarmNode, alarm->alarmCode, static_cast<int>(alarm->flag), t.wYear, t.wMonth,
                   t.wDay, t.wHour, t.wMinute, t.wSecond);
    return true;
}
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
    int32_t r = exchangeTelegram(ch, TAG_ALARM);
    AlarmRecord alarm{};
    for (bool readOn = false;; readOn = true) {
        if (r < 0) {
            // Nothing followed the alarm acknowledged before (below): that ALR was this
            // telegram's answer after all.
            if (!readOn || ch->pendErrGroup != ERRGRP_LINE || ch->pendErrCode != ERR_TIMEOUT) return 0;
        } else {
            // ALN is the station's word for "no more alarms", the normal end of the series.
            // Any other reply is a failure that says what came (NDA is not how a station
            // tells that it has no alarms; there the tag stands as the sub-code): handed
            // back without an error, the series would end with the station's alarms unread.
            if (r == RX_ALN) return 1;
            if (r != RX_ALR) return replyFailure(ch, r, TAG_ALARM, TAG_ALARM, "hndlRequestAlarms");
            if (!readAlarm(ch, &alarm)) return 0;
            if (!acknowledgedLast(ch, alarm)) break;
        }
        if (readOn) {
            // The station still has the alarm because our ALO did not reach it. The host
            // has it already: acknowledge again, and do not hand it on twice.
            textOutputParm("hndlRequestAlarms: alarm code=%d presented again; acknowledged again, "
                           "not delivered twice", alarm.alarmCode);
            acknowledge(ch, msg, alarm);
            *again = 1;
            return 1;
        }
        // The alarm acknowledged last, once more. A station that answered an earlier WCA
        // late built that answer before our ALO reached it, and sends this telegram's own
        // answer right after it: handing the old one on would deliver the alarm twice, and
        // acknowledging it would remove the next alarm unseen. It is passed over and the
        // line read on for the answer to this telegram.
        textOutputParm("hndlRequestAlarms: alarm code=%d was acknowledged already; reading on",
                       alarm.alarmCode);
        r = receiveReply(ch, TAG_ALARM);
    }

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

    acknowledge(ch, msg, alarm);
    *again = 1;
    return 1;
}

}  // namespace tg
