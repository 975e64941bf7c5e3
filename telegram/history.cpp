// History read (WGH): records in passes until the station answers NDA, and the history
// time reports that tell the host how far it has got.
#include <cstring>
#include <string>

#include "platform/systime.h"
#include "platform/ticks.h"
#include "telegram/addressing.h"
#include "telegram/framing.h"
#include "telegram/handlers.h"
#include "telegram/parsers.h"
#include "telegram/pool.h"

namespace tg {

namespace {

constexpr int kRecordPoolAttempts = 100;
constexpr int kTimeReportAttempts = 201;
constexpr uint32_t kHistoryAddress = 0x300;

// Reports `time` until the pool gives a message, at most kTimeReportAttempts times; a
// report that cannot be sent is dropped (and a stop drops it at once).
void reportHistoryTimeRetrying(TelegramChannel *ch, OrvelTime time) {
    for (int attempt = 1; attempt <= kTimeReportAttempts; ++attempt) {
        if (reportHistoryTime(ch, time)) return;
        if (attempt < kTimeReportAttempts && !poolPause(ch)) return;
    }
}

// Moves the request's start to `time`, the time of a record the host now has.
void keepPosition(HostMsg *msg, OrvelTime time) { std::memcpy(msg->data, &time, sizeof time); }

// The local start time of a pass: from the request's value area, not before 2001.
plat::SystemTime startTimeLocal(const HostMsg *msg) {
    OrvelTime start = 0;
    std::memcpy(&start, msg->data, sizeof start);
    offsetTZ(&start, 1, 0, 0, 0);
    plat::SystemTime st{};
    // A time that does not convert counts as before 2001 too.
    if (!plat::fileTimeToSystemTime(&start, &st) || st.wYear < 2001) {
        st = plat::SystemTime{};
        st.wYear = 2001;
        st.wMonth = 1;
        st.wDay = 1;
    }
    return st;
}

}  // namespace

int32_t reportHistoryTime(TelegramChannel *ch, OrvelTime time) {
    HostMsg *msg = getMsgFromPool(static_cast<int32_t>(ch->channelNo));
    if (msg == nullptr) return 0;
    HostMsg *request = ch->curMsg.load();
    msg->node = request != nullptr ? request->node : 0;
    msg->address = kHistoryAddress;
    msg->index = 0;
    msg->direction = DIR_READ_TIME;
    msg->length = 1;
    msg->errGroup = 0;
    msg->errCode = 0;
    msg->errSub = 0;
    msg->timeStamp = time;
    putMsgToSapIq(static_cast<int32_t>(ch->channelNo), msg);
    if (request != nullptr) std::memcpy(request->data, &time, sizeof time);
    return 1;
}

int32_t hndlRequestHistory(TelegramChannel *ch, int32_t *again) {
    HostMsg *msg = ch->curMsg.load();
    const plat::SystemTime from = startTimeLocal(msg);
    prepareRequest(ch);
    const int32_t plant = getPlantNumber(ch, msg->node);
    formatTelegram(ch, " %d WGH %02d %02d %02d %02d %02d #", plant, from.wYear - 2000, from.wMonth,
                   from.wDay, from.wHour, from.wMinute);
    textOutputParm("[C:%d-N:%d]:hndlRequestHistory: Reading history from plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), plant);
    textOutputParm("Reading from: %04d/%02d/%02d %02d:%02d (local)", from.wYear, from.wMonth,
                   from.wDay, from.wHour, from.wMinute);
    const int32_t r = exchangeTelegram(ch, TAG_HISTORY);
    if (r < 0) return 0;
    if (r == RX_NDA) {
        reportHistoryTimeRetrying(ch, zeroORVELTime());
        *again = 0;
        return 1;
    }
    // NDA (above) is the end of the history; any other word is a failure that says what
    // came, never a quiet end of the series.
    if (r != RX_DATA) return replyFailure(ch, r, TAG_HISTORY, TAG_HISTORY, "hndlRequestHistory");

    // Records are parsed from a copy of the reply: while the pool is empty the line (and
    // with it rxBuf) may serve the host's events.
    const std::string reply(reinterpret_cast<const char *>(ch->rxBuf),
                            strnlen(reinterpret_cast<const char *>(ch->rxBuf), TG_BUF_SIZE));
    const char *pos = reply.c_str() + 1;
    int attempts = 0;
    OrvelTime last = 0;
    do {
        plat::SystemTime at{};
        float values[HISTORY_MAX_VALUES];
        int count = 0;
        pos = parseHistoryRecord(ch, pos, &at, values, HISTORY_MAX_VALUES, &count);
        if (pos == nullptr) return 0;
        if (count > HISTORY_MAX_VALUES) {
            // A record message carries at most HISTORY_MAX_VALUES values; the rest of
            // such a record is dropped, and said so.
            textOutputParm("hndlRequestHistory: record with %d values, keeping the first %d", count,
                           HISTORY_MAX_VALUES);
            count = HISTORY_MAX_VALUES;
        }
        plat::systemTimeToFileTime(&at, &last);
        textOutputParm("hndlRequestHistory: Got %d values at ts = %04d/%02d/%02d %02d:%02d (UTC)",
                       count, at.wYear, at.wMonth, at.wDay, at.wHour, at.wMinute);

        HostMsg *rec = takeFromPool(ch, &attempts, kRecordPoolAttempts);
        if (rec == nullptr) {
            ch->pendErrGroup = ERRGRP_CONTENT;
            ch->pendErrCode = ERR_HISTORY_NO_MSG;
            ch->pendErrSub = 0;
            textOutputParm("hndlRequestHsitory: Out of buffers.");
            return 0;
        }
        rec->node = msg->node;
        rec->address = kHistoryAddress;
        rec->index = 0;
        rec->direction = DIR_READ;
        rec->length = 2 * count;
        rec->errGroup = 0;
        rec->errCode = 0;
        rec->errSub = 0;
        rec->timeStamp = last;
        if (count > 0) std::memcpy(rec->data, values, static_cast<size_t>(count) * sizeof(float));
        putMsgToSapIq(static_cast<int32_t>(ch->channelNo), rec);
        // The request's start follows every record handed on, not only the time report
        // at the end of the pass: a pass that fails later (an empty pool, a bad record, a
        // stop), or whose time report is dropped, is repeated from after the last record
        // the host has, so that no record reaches it twice.
        keepPosition(msg, last);
    } while (*pos != '#' && *pos != '\0');

    reportHistoryTimeRetrying(ch, last);
    *again = 1;
    return 1;
}

}  // namespace tg
