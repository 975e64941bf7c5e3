// Helpers for the telegram engine's tests: a fixed time zone, framed replies and a
// channel record of the test's own.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "driver/state.h"
#include "runtime/runtime.h"
#include "platform/systime.h"
#include "station/station.h"
#include "telegram/framing.h"
#include "common/pty_port.h"
#include "common/trace_capture.h"

// Central European time: UTC+1, summer time UTC+2. Needs no zone files.
inline void useCentralEuropeanTime() {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
}

inline OrvelTime fileTime(const plat::SystemTime &st) {
    plat::FileTime ft = 0;
    plat::systemTimeToFileTime(&st, &ft);
    return ft;
}
inline OrvelTime utc(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi, uint16_t s = 0) {
    return fileTime(plat::SystemTime{y, mo, 0, d, h, mi, s, 0});
}

// A framed reply as a station sends it: STX, text, "#", blank, block check, CR LF.
inline std::string reply(const std::string &text, int bccDelta = 0) {
    const std::string body = text + "#";
    return "\x02" + body + " " + std::to_string(tg::calcBCC(body.c_str()) + bccDelta) + "\r\n";
}

inline std::unique_ptr<TelegramChannel> newChannel(uint32_t channelNo) {
    auto ch = std::make_unique<TelegramChannel>();
    ch->channelNo = channelNo;
    ch->commHandle = COMM_HANDLE_INVALID;
    return ch;
}

// The channel's pending error triple: group, code, sub.
inline std::vector<uint32_t> pending(const TelegramChannel *ch) {
    return {ch->pendErrGroup, ch->pendErrCode, ch->pendErrSub};
}
using Triple = std::vector<uint32_t>;
