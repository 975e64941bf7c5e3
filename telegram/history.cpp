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

// Hands on the records of the data reply in rxBuf that are later than `have`, moving the
// request's start after each; records at or before `have` are counted in *passedOver and
// dropped. *last is the time of the last record handed on. False when a record is
// garbled or the pool stays empty (pending error set).
bool handOnRecords(TelegramChannel *ch, HostMsg *msg, OrvelTime have, OrvelTime *last, int *handedOn, int *passedOver) {
    // Records are parsed from a copy of the reply: while the pool is empty the line (and
    // with it rxBuf) may serve the host's events.
    const std::string reply(reinterpret_cast<const char *>(ch->rxBuf),
                            strnlen(reinterpret_cast<const char *>(ch->rxBuf), TG_BUF_SIZE));
    const char *pos = reply.c_str() + 1;
    int attempts = 0;
    do {
        plat::SystemTime at{};
        float values[HISTORY_MAX_VALUES];
        int count = 0;
        pos = parseHistoryRecord(ch, pos, &at, values, HISTORY_MAX_VALUES, &count);
        if (pos == nullptr) return false;
        if (count > HISTORY_MAX_VALUES) {
            // A record message carries at most HISTORY_MAX_VALUES values; the rest of
            // such a record is dropped, and said so.
            textOutputParm("hndlRequestHistory: record with %d values, keeping the first %d", count,
                           HISTORY_MAX_VALUES);
            count = HISTORY_MAX_VALUES;
        }
        OrvelTime time = 0;
        plat::systemTimeToFileTime(&at, &time);
        // The station answers records after the start only: one at or before it is from
        // an answer to an earlier telegram, and the host has it already.
        if (have != 0 && time <= have) {
            textOutputParm(
                "hndlRequestHistory: record at ts = %04d/%02d/%02d %02d:%02d (UTC) passed over: "
                "the host has it already",
                at.wYear, at.wMonth, at.wDay, at.wHour, at.wMinute);
            ++*passedOver;
            continue;
        }
        textOutputParm("hndlRequestHistory: Got %d values at ts = %04d/%02d/%02d %02d:%02d (UTC)", count, at.wYear,
                       at.wMonth, at.wDay, at.wHour, at.wMinute);

        HostMsg *rec = takeFromPool(ch, &attempts, kRecordPoolAttempts);
        if (rec == nullptr) {
            ch->pendErrGroup = ERRGRP_CONTENT;
            ch->pendErrCode = ERR_HISTORY_NO_MSG;
            ch->pendErrSub = 0;
            textOutputParm("hndlRequestHsitory: Out of buffers.");
            return false;
        }
        rec->node = msg->node;
        rec->address = kHistoryAddress;
        rec->index = 0;
        rec->direction = DIR_READ;
        rec->length = 2 * count;
        rec->errGroup = 0;
        rec->errCode = 0;
        rec->errSub = 0;
        rec->timeStamp = time;
        if (count > 0) std::memcpy(rec->data, values, static_cast<size_t>(count) * sizeof(float));
        putMsgToSapIq(static_cast<int32_t>(ch->channelNo), rec);
        ++*handedOn;
        *last = time;
        // The request's start follows every record handed on, not only the time report
        // at the end of the pass: a pass that fails later (an empty pool, a bad record, a
        // stop), or whose time report is dropped, is repeated from after the last record
        // the host has, so that no record reaches it twice.
        keepPosition(msg, time);
    } while (*pos != '#' && *pos != '\0');
    return true;
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
    formatTelegram(ch, " %d WGH %02d %02d %02d %02d %02d #", plant, from.wYear - 2000, from.wMonth, from.wDay,
                   from.wHour, from.wMinute);
    textOutputParm("[C:%d-N:%d]:hndlRequestHistory: Reading history from plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), plant);
    textOutputParm("Reading from: %04d/%02d/%02d %02d:%02d (local)", from.wYear, from.wMonth, from.wDay, from.wHour,
                   from.wMinute);
    // The host has every record up to the request's start (the first pass asks for
    // records after it, later passes start after the last record handed on).
    OrvelTime have = 0;
    std::memcpy(&have, msg->data, sizeof have);
    int32_t r = exchangeTelegram(ch, TAG_HISTORY);
    OrvelTime last = 0;
    for (bool readOn = false;; readOn = true) {
        if (r < 0) return 0;
        if (r == RX_NDA) {
            reportHistoryTimeRetrying(ch, zeroORVELTime());
            *again = 0;
            return 1;
        }
        // NDA (above) is the end of the history; any other word is a failure that says what
        // came, never a quiet end of the series.
        if (r != RX_DATA) return replyFailure(ch, r, TAG_HISTORY, TAG_HISTORY, "hndlRequestHistory");

        int handedOn = 0, passedOver = 0;
        if (!handOnRecords(ch, msg, have, &last, &handedOn, &passedOver)) return 0;
        if (handedOn > 0 || passedOver == 0) break;
        if (readOn) {
            // The answer to this telegram holds only records the host has: taking it as the
            // end of the pass would ask for the same records for ever.
            textOutputParm("hndlRequestHistory: only records up to the start again");
            ch->pendErrGroup = ERRGRP_LINE;
            ch->pendErrCode = ERR_FRAMING;
            ch->pendErrSub = TAG_HISTORY;
            return 0;
        }
        // Every record was one the host has: the answer to an earlier pass or try that
        // came late. This telegram's own answer follows it; read on for it.
        textOutputParm("hndlRequestHistory: answer to an earlier telegram passed over; reading on");
        r = receiveReply(ch, TAG_HISTORY);
    }

    reportHistoryTimeRetrying(ch, last);
    *again = 1;
    return 1;
}

}  // namespace tg
