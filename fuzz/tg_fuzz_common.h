// Shared set-up of the telegram engine's fuzz targets: a quiet trace and one channel record.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/channels.h"
#include "runtime/runtime.h"

inline TelegramChannel *fuzzChannel() {
    static TelegramChannel *ch = [] {
        hydrix::rt::setTraceFile(nullptr);
        hydrix::rt::setSyslog(false);
        auto *c = new TelegramChannel();
        c->channelNo = 0;
        return c;
    }();
    return ch;
}

// The input as a NUL-terminated text in a buffer of exactly its size, so that reading past
// the terminator is caught.
inline std::vector<char> fuzzText(const uint8_t *data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    return text;
}
