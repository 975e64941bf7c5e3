// Setpoint list read (MCC 0 1) and single setpoint write (MCC with a time stamp).
#include <cstdio>
#include <cstring>

#include "platform/systime.h"
#include "telegram/addressing.h"
#include "telegram/framing.h"
#include "telegram/handlers.h"
#include "telegram/numbers.h"
#include "telegram/parsers.h"

namespace tg {

namespace {

constexpr int32_t kListParseFailed = -2;

// Reads the station's setpoint list into the setpoint table. Returns the reply class,
// -1 when the exchange failed, kListParseFailed when a record was refused.
int32_t readSetpointList(TelegramChannel *ch, const char *who) {
    HostMsg *msg = ch->curMsg.load();
    std::memset(ch->setpointTable, 0, sizeof ch->setpointTable);
    prepareRequest(ch);
    const int32_t plant = getPlantNumber(ch, msg->node);
    formatTelegram(ch, " %d MCC 0 1 #", plant);
    textOutputParm("[C:%d-N:%d]:%s: Reading setpoints from plant_id:%d", ch->channelNo, static_cast<int>(msg->node),
                   who, plant);
    const int32_t r = exchangeTelegram(ch, TAG_SETPOINT);
    if (r != RX_DATA) return r;

    const char *pos = reinterpret_cast<const char *>(ch->rxBuf) + 1;
    int calls = 0;
    bool failed = false;
    for (;;) {
        ++calls;
        pos = parseSetpointField(ch, pos);
        if (pos == nullptr) {
            failed = true;
            break;
        }
        if (*pos == '#' || *pos == '\0') break;
    }
    textOutputParm("%s: Got %d values.", who, calls);
    return failed ? kListParseFailed : RX_DATA;
}

}  // namespace

int32_t hndlRequestSetpoints(TelegramChannel *ch) {
    const int32_t r = readSetpointList(ch, "hndlRequestSetpoints");
    if (r == RX_NDA) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_NO_DATA;
        ch->pendErrSub = 2;
        textOutputParm("hndlRequestSetpoints: No data in report (NDA reply)!");
        return 0;
    }
    if (r < 0) return 0;  // the exchange or a record of the list failed
    if (r != RX_DATA) return replyFailure(ch, r, TAG_SETPOINT, 2, "hndlRequestSetpoints");

    HostMsg *msg = ch->curMsg.load();
    const int64_t count = msg->length / 2;
    const int64_t first = msg->index >> 1;
    auto *out = static_cast<uint8_t *>(msg->data);
    for (int64_t i = 0; i < count; ++i) {
        // Setpoints past the end of the table are never listed: they read as 0.0.
        const int64_t entry = first + i;
        const float v = entry < SETPOINT_COUNT ? ch->setpointTable[entry].value : 0.0f;
        std::memcpy(out + i * sizeof(float), &v, sizeof v);
    }
    return 1;
}

int32_t hndlWriteSetpoints(TelegramChannel *ch) {
    const int32_t r = readSetpointList(ch, "hndlWriteSetpoints");
    if (r < 0) return 0;
    // Without the list the setpoint's type is unknown and nothing is written: the write
    // fails, saying why (an NDA as for a setpoint read), rather than report a write that
    // never took place.
    if (r != RX_DATA) return replyFailure(ch, r, TAG_SETPOINT, 2, "hndlWriteSetpoints");

    HostMsg *msg = ch->curMsg.load();
    const uint32_t s = msg->index >> 1;
    if (s >= SETPOINT_COUNT) {
        textOutputParm("hndlWriteSetpoints: Error: SetPointIndex too high (%d)", static_cast<int>(s));
        ch->pendErrGroup = ERRGRP_WRITE_PARAM;
        ch->pendErrCode = ERR_SETPOINT_INDEX;
        ch->pendErrSub = s;
        return 0;
    }
    const char type = ch->setpointTable[s].type;
    if (type == 'T' || type == '\0') {
        textOutputParm("hndlWriteSetpoints: Error: SetPointIndex type unknown (%d,%c)", static_cast<int>(s), type);
        ch->pendErrGroup = ERRGRP_WRITE_PARAM;
        ch->pendErrCode = ERR_SETPOINT_TYPE;
        ch->pendErrSub = s;
        return 0;
    }

    ch->rxLen = 0;
    ch->txLen = 0;
    std::memset(ch->rxBuf, 0, sizeof ch->rxBuf);
    std::memset(ch->txBuf, 0, sizeof ch->txBuf);
    const int32_t plant = getPlantNumber(ch, msg->node);
    plat::SystemTime now{};
    plat::getLocalTime(&now);
    char when[64];
    std::snprintf(when, sizeof when, "%02d %02d %02d %02d %02d %02d", now.wYear - 2000, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    float value = 0.0f;
    std::memcpy(&value, msg->data, sizeof value);
    const double v = value;
    const int n = static_cast<int>(s);
    switch (type) {
    case '0':
    case 'D':
    case 'I':
    case 'S':
        formatTelegram(ch, " %d MCC %d %s %d 0 %d #", plant, plant, when, n, truncateToInt(v));
        break;
    case '1':
        formatTelegram(ch, " %d MCC %d %s %d 1 %.1f #", plant, plant, when, n, v);
        break;
    case '2':
        formatTelegram(ch, " %d MCC %d %s %d 2 %.2f #", plant, plant, when, n, v);
        break;
    case '3':
        formatTelegram(ch, " %d MCC %d %s %d 3 %.3f #", plant, plant, when, n, v);
        break;
    case '4':
        formatTelegram(ch, " %d MCC %d %s %d 4 %.4f #", plant, plant, when, n, v);
        break;
    default:
        textOutputParm("hndlWriteSetpoints: Error: Unknown type. Should never get here (%d,%c)", n, type);
        ch->pendErrGroup = ERRGRP_WRITE_PARAM;
        ch->pendErrCode = ERR_SETPOINT_TYPE;
        ch->pendErrSub = s;
        return 0;
    }
    textOutputParm("[C:%d-N:%d]:hndlWriteSetpoints: Writing setpoint to plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), plant);
    const int32_t w = exchangeTelegram(ch, TAG_SETPOINT);
    if (w < 0) return 0;
    if (w == RX_SCE) {
        textOutputParm("hndlWriteSetpoints: SCE (Error in telegram) reply received");
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_SCE;
        ch->pendErrSub = 3;
        return 0;
    }
    // A confirmation damaged on the line does not tell whether the station took the
    // value: the write is tried again (writing the same value twice does no harm). Any
    // other reply word means the station took it.
    if (w == RX_BAD) return 0;
    return 1;
}

}  // namespace tg
