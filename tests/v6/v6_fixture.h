// Helpers for the v6 engine's tests: the trace, a fixed time zone, a channel record of
// the test's own with a buffer pool, and a port on a pseudo-terminal.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/engines.h"
#include "driver/state.h"
#include "platform/systime.h"
#include "runtime/runtime.h"
#include "station/station.h"
#include "v6/v6.h"
#include "common/pty_port.h"
#include "common/trace_capture.h"
#include "common/wait.h"

class V6Test : public ::testing::Test {
protected:
    static constexpr int kChan = 5;

    void SetUp() override {
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // UTC+1, summer UTC+2; needs no zone files
        tzset();
        hydrix::rt::resetQueues();
        hydrix::rt::configurePool(kChan, 64, 256);
        ch_ = std::make_unique<V6Channel>();
        ch_->channelNo = kChan;
        ASSERT_EQ(v6::createBufferPool(ch_.get(), v6::POOL_SIZE), 1);
    }
    void TearDown() override {
        if (HostMsg *m = ch_->curMsg.exchange(nullptr)) putMsgToPool(kChan, m);
        if (pooled_) {
            v6::flushChannelQueues(ch_.get());
            if (ch_->replyBuffer) v6::insBuf(ch_.get(), &ch_->freeQueue, ch_->replyBuffer);
            EXPECT_EQ(v6::destroyBufferPool(ch_.get(), v6::POOL_SIZE), 1) << "a line buffer was not returned";
        }
        hydrix::rt::resetQueues();
    }

    // A request from the host's pool as the channel's current request.
    HostMsg *request(uint32_t node, uint32_t address, uint32_t direction, uint32_t index = 0) {
        if (HostMsg *old = ch_->curMsg.exchange(nullptr)) putMsgToPool(kChan, old);
        HostMsg *m = getMsgFromPool(kChan);
        m->node = node;
        m->address = address;
        m->direction = direction;
        m->index = index;
        ch_->curMsg.store(m);
        return m;
    }
    // A reply as the receiver hands it over (the text, then a zero byte), taken over by a
    // parser from `cursorAt` on.
    void parseReply(const std::string &text, int cursorAt = 1) {
        V6Buffer *b = v6::takeBuf(ch_.get(), &ch_->freeQueue);
        v6::clearBuffer(b);
        std::memcpy(b->data, text.data(), text.size());
        b->data[text.size()] = '\0';
        b->length = static_cast<int32_t>(text.size());
        ch_->replyBuffer = b;
        ch_->parseCursor = b->data + cursorAt;
    }
    // The messages handed to the host so far; they go back to the pool with giveBack.
    std::vector<HostMsg *> delivered() {
        std::vector<HostMsg *> out;
        while (HostMsg *m = hydrix::rt::waitInputQueue(kChan, 0)) out.push_back(m);
        return out;
    }
    static void giveBack(const std::vector<HostMsg *> &msgs, int chan = kChan) {
        for (HostMsg *m : msgs) putMsgToPool(chan, m);
    }
    // The next buffer the receiver queues for the channel thread, within `ms`.
    static V6Buffer *nextQueued(V6Channel *ch, int ms) {
        V6Buffer *b = nullptr;
        eventually([&] { return (b = v6::takeBuf(ch, &ch->rxQueue)) != nullptr; }, ms);
        return b;
    }
    // Whether `line` was traced; `clear` forgets every line traced so far.
    bool traced(const std::string &line, bool clear = false) {
        const bool found = trace.has(line);
        if (clear) trace.clear();
        return found;
    }

    TraceCapture trace;
    std::unique_ptr<V6Channel> ch_;
    bool pooled_ = true;
};

template <typename T>
T valueAs(const HostMsg *m, int byteOffset = 0) {
    T v{};
    std::memcpy(&v, static_cast<const char *>(m->data) + byteOffset, sizeof v);
    return v;
}

// The UTC time of a local wall-clock minute (the test's time zone).
inline OrvelTime localTime(int y, int mo, int d, int h, int mi) {
    const plat::SystemTime st{static_cast<uint16_t>(y), static_cast<uint16_t>(mo), 0, static_cast<uint16_t>(d),
                              static_cast<uint16_t>(h), static_cast<uint16_t>(mi), 0, 0};
    plat::FileTime local = 0, utc = 0;
    plat::systemTimeToFileTime(&st, &local);
    plat::localFileTimeToFileTime(&local, &utc);
    return utc;
}
