// Picture (WGS P) and daily report (WGD) reads.
#include <cstring>

#include "platform/systime.h"
#include "telegram/addressing.h"
#include "telegram/framing.h"
#include "telegram/handlers.h"
#include "telegram/parsers.h"

namespace tg {

namespace {

// A picture reply is read into at most this many values: values past it are not kept,
// so a request that reaches beyond them fails as a picture too short for it.
constexpr int kPictureValues = 256;
// A report reply holds at most this many list entries; a longer one is refused as
// malformed rather than cut.
constexpr int kReportValues = 129;

// Parses the reply from `pos` until the end of the text or '#'. Keeps at most `limit`
// values; returns how many there were.
int parseValueList(const char *pos, float *list, int limit) {
    int n = 0;
    do {
        float v = 0.0f;
        pos = parseFloatField(pos, &v);
        if (n < limit) list[n] = v;
        ++n;
    } while (*pos != '\0' && *pos != '#');
    return n;
}

// First value wanted and how many, from the request's index and length (in 16-bit words).
void wantedRange(const HostMsg *msg, int64_t *first, int64_t *count) {
    *first = msg->index >> 1;
    *count = msg->length / 2;
    if (*count < 0) *count = 0;
}

void storeValues(HostMsg *msg, const float *from, int64_t count) {
    if (count > 0) std::memcpy(msg->data, from, static_cast<size_t>(count) * sizeof(float));
}

}  // namespace

int32_t hndlRequestPicture(TelegramChannel *ch) {
    HostMsg *msg = ch->curMsg.load();
    prepareRequest(ch);
    const int32_t plant = getPlantNumber(ch, msg->node);
    const uint32_t picture = getItemNumber(msg->address);
    formatTelegram(ch, " %d WGS P 0 ! %d #", plant, static_cast<int>(picture));
    textOutputParm("[C:%d-N:%d]:hndlRequestPicture: Reading picture:%d from plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), static_cast<int>(picture), plant);
    const int32_t r = exchangeTelegram(ch, TAG_PICTURE);
    if (r < 0) return 0;
    // A picture the station has no data for, or a reply that is not one, fails the
    // request; it is never handed back done with the value area as it stood.
    if (r != RX_DATA) return replyFailure(ch, r, TAG_PICTURE, picture, "hndlRequestPicture");

    float list[kPictureValues];
    int n = parseValueList(reinterpret_cast<const char *>(ch->rxBuf) + 2, list, kPictureValues);
    if (n > kPictureValues) n = kPictureValues;
    int64_t first = 0, count = 0;
    wantedRange(msg, &first, &count);
    if (n < 9) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_PICTURE_FIELDS;
        ch->pendErrSub = picture;
        textOutputParm("hndlRequestPicture: Incorrect response format (%d)", n);
        return 0;
    }
    if (n - 9 < first + count - 1) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_PICTURE_SHORT;
        ch->pendErrSub = picture;
        textOutputParm("hndlRequestPicture: Not enough values in picture (%d, %d, %d)", n, static_cast<int>(first),
                       static_cast<int>(count));
        return 0;
    }
    textOutputParm("hndlRequestPicture: Got %d values from picture:%d", n, static_cast<int>(picture));
    storeValues(msg, list + 8 + first, count);
    return 1;
}

int32_t hndlRequestReport(TelegramChannel *ch) {
    HostMsg *msg = ch->curMsg.load();
    prepareRequest(ch);
    plat::SystemTime now{}, yesterday{};
    plat::getLocalTime(&now);
    plat::FileTime ft = 0;
    plat::systemTimeToFileTime(&now, &ft);
    addORVELTimeDay(&ft, -1);
    plat::fileTimeToSystemTime(&ft, &yesterday);
    const int32_t plant = getPlantNumber(ch, msg->node);
    formatTelegram(ch, " %d WGD %02d %02d %02d %02d %02d %02d %02d %02d #", plant, now.wYear - 2000, now.wMonth,
                   now.wDay, now.wHour, now.wMinute, yesterday.wYear - 2000, yesterday.wMonth, yesterday.wDay);
    textOutputParm("[C:%d-N:%d]:hndlRequestReport: Reading report from plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), plant);
    const int32_t r = exchangeTelegram(ch, TAG_REPORT);
    if (r < 0) return 0;
    if (r == RX_NDA) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_NO_DATA;
        ch->pendErrSub = 1;
        textOutputParm("hndlRequestReport: No data in report (NDA reply)!");
        return 0;
    }
    if (r != RX_DATA) return replyFailure(ch, r, TAG_REPORT, 1, "hndlRequestReport");

    float list[kReportValues];
    const int n = parseValueList(reinterpret_cast<const char *>(ch->rxBuf) + 1, list, kReportValues);
    int64_t first = 0, count = 0;
    wantedRange(msg, &first, &count);
    if (n % 5 != 0 || n > kReportValues) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_REPORT_COUNT;
        ch->pendErrSub = static_cast<uint32_t>(n);
        textOutputParm("hndlRequestReport: Incorrect response format (%d)", n);
        return 0;
    }
    if (n < first + count) {
        ch->pendErrGroup = ERRGRP_CONTENT;
        ch->pendErrCode = ERR_REPORT_SHORT;
        ch->pendErrSub = static_cast<uint32_t>(n / 5 + 1);
        textOutputParm("hndlRequestReport: Not enough values in report (%d, %d, %d)", n, static_cast<int>(first),
                       static_cast<int>(count));
        return 0;
    }
    textOutputParm("hndlRequestReport: Got %d values.", n);
    storeValues(msg, list + first, count);
    return 1;
}

}  // namespace tg
