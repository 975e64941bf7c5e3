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

// How long the line is watched for another reply after an alarm that repeats the one
// acknowledged last. A stale copy (the late answer to an earlier telegram) is followed by
// this telegram's own answer as soon as the station has turned round; a station whose ALO
// was lost shows the alarm again and sends nothing after it.
constexpr uint32_t kRepeatReadOnMs = 1000;

// The ALR line each channel acknowledged last, as a fingerprint of all its fields (node,
// code, time, flag, the six further fields and the second): a line is the same alarm
// again only when every field agrees. Two occurrences of one alarm in the same minute
// differ in some field and are two alarms.
struct AckedAlarm {
    std::atomic<uint64_t> fingerprint{0};
    std::atomic<bool> any{false};
};
AckedAlarm lastAcked[HYDRIX_CHANNELS];

// FNV-1a over the fields of the ALR reply in rxBuf (DC3 bytes already stripped), from the
// reply word to the '#', with every run of blanks taken as one separator.
uint64_t alarmFingerprint(const TelegramChannel *ch) {
    uint64_t h = 14695981039346656037ULL;
    bool gap = false;
    for (int32_t i = 1; i < ch->rxLen && ch->rxBuf[i] != '#' && ch->rxBuf[i] != 0; ++i) {
        const uint8_t c = ch->rxBuf[i];
        if (c == ' ' || c == CR || c == LF) {
            gap = true;
            continue;
        }
        if (gap) h = (h ^ ' ') * 1099511628211ULL;
        gap = false;
        h = (h ^ c) * 1099511628211ULL;
    }
    return h;
}

bool acknowledgedLast(const TelegramChannel *ch) {
    const AckedAlarm &last = lastAcked[ch->channelNo % HYDRIX_CHANNELS];
    return last.any.load() && last.fingerprint.load() == alarmFingerprint(ch);
}

// The acknowledge; no reply is awaited. The reply stays in rxBuf.
void acknowledge(TelegramChannel *ch, const HostMsg *msg, uint64_t fingerprint) {
    std::memset(ch->txBuf, 0, sizeof ch->txBuf);
    ch->txLen = 0;
    const int32_t ackPlant = getPlantNumber(ch, msg->node);
    formatTelegram(ch, " %d ALO #", ch->directConn != 0 ? ackPlant : 0);
    textOutputParm("[C:%d-N:%d]:hndlRequestAlarms:  alarms from plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), ackPlant);
    AckedAlarm &last = lastAcked[ch->channelNo % HYDRIX_CHANNELS];
    last.fingerprint.store(fingerprint);
    last.any.store(true);
    writeTelegram(ch);
}

// Reads the alarm out of an ALR reply in rxBuf and traces it.
bool readAlarm(TelegramChannel *ch, AlarmRecord *alarm) {
    if (!parseAlarmRecord(ch, reinterpret_cast<const char *>(ch->rxBuf) + 1, alarm)) return false;
    const plat::SystemTime &t = alarm->localTime;
    textOutputParm(
        "hndlRequestAlarms: Got alarm from node %d code=%d, fl=%d, "
        "%04d/%02d/%02d %02d:%02d:%02d (Local)",
        alarm->alarmNode, alarm->alarmCode, static_cast<int>(alarm->flag), t.wYear, t.wMonth, t.wDay, t.wHour,
        t.wMinute, t.wSecond);
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
    formatTelegram(ch, " %d WCA 0 %d %d %d %d %d #", plant, now.wYear - 2000, now.wMonth, now.wDay, now.wHour,
                   now.wMinute);
    textOutputParm("[C:%d-N:%d]:hndlRequestAlarms: Reading alarms from plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), plant);
    textOutputParm("Reading from: %04d/%02d/%02d %02d:%02d (local)", now.wYear, now.wMonth, now.wDay, now.wHour,
                   now.wMinute);
    int32_t r = exchangeTelegram(ch, TAG_ALARM);
    AlarmRecord alarm{};
    uint64_t fingerprint = 0;
    for (;;) {
        if (r < 0) return 0;
        // ALN is the station's word for "no more alarms", the normal end of the series.
        // Any other reply is a failure that says what came (NDA is not how a station
        // tells that it has no alarms; there the tag stands as the sub-code): handed
        // back without an error, the series would end with the station's alarms unread.
        if (r == RX_ALN) return 1;
        if (r != RX_ALR) return replyFailure(ch, r, TAG_ALARM, TAG_ALARM, "hndlRequestAlarms");
        if (!readAlarm(ch, &alarm)) return 0;
        fingerprint = alarmFingerprint(ch);
        if (!acknowledgedLast(ch)) break;
        // The line acknowledged last, once more, field for field. A station that answered
        // an earlier WCA late built that answer before our ALO reached it, and sends this
        // telegram's own answer right after it: handing the old one on would deliver the
        // alarm twice, and acknowledging it would remove the next alarm unseen. So the
        // line is watched briefly for a reply that follows; one that comes is this
        // telegram's answer.
        if (replyStartsWithin(ch, kRepeatReadOnMs)) {
            textOutputParm("hndlRequestAlarms: alarm code=%d was acknowledged already; reading on", alarm.alarmCode);
            r = receiveReply(ch, TAG_ALARM);
            continue;
        }
        // Nothing follows: the station still has the alarm because our ALO did not reach
        // it. The host has it already: acknowledge again, and do not hand it on twice.
        textOutputParm(
            "hndlRequestAlarms: alarm code=%d presented again; acknowledged again, "
            "not delivered twice",
            alarm.alarmCode);
        acknowledge(ch, msg, fingerprint);
        *again = 1;
        return 1;
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

    acknowledge(ch, msg, fingerprint);
    *again = 1;
    return 1;
}

}  // namespace tg
