// Helpers for the telegram engine's tests: trace capture, a fixed time zone, a channel
// record on a pseudo-terminal, and a driver on a line with the station simulator.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/state.h"
#include "runtime/runtime.h"
#include "platform/systime.h"
#include "station/station.h"
#include "telegram/framing.h"
#include "common/pty_port.h"

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

// Collects trace lines.
class TraceCapture {
public:
    TraceCapture() {
        hydrix::rt::setTraceFile(nullptr);
        hydrix::rt::setSyslog(false);
        hydrix::rt::setTraceSink([this](const std::string &line) {
            std::lock_guard<std::mutex> lock(m_);
            lines_.push_back(line);
        });
    }
    ~TraceCapture() { hydrix::rt::setTraceSink({}); }
    bool has(const std::string &line) {
        std::lock_guard<std::mutex> lock(m_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    long count(const std::string &line) {
        std::lock_guard<std::mutex> lock(m_);
        return std::count(lines_.begin(), lines_.end(), line);
    }

private:
    std::mutex m_;
    std::vector<std::string> lines_;
};

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

