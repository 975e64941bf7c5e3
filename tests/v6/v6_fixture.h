// Helpers for the v6 engine's tests: trace capture, a channel record with its own buffer
// pool, replies placed as the receiver leaves them, and a port on a pseudo-terminal.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/engines.h"
#include "driver/state.h"
#include "runtime/runtime.h"
#include "station/station.h"
#include "platform/systime.h"
#include "v6/v6.h"

// Central European time: UTC+1, summer time UTC+2. Needs no zone files.
inline void useCentralEuropeanTime() {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
}

class V6Test : public ::testing::Test {
protected:
    static constexpr int kChan = 5;

    void SetUp() override {
        hydrix::rt::setTraceFile(nullptr);
        hydrix::rt::setSyslog(false);
        hydrix::rt::setTraceSink([this](const std::string &line) {
            std::lock_guard<std::mutex> lock(traceMutex_);
            traces_.push_back(line);
        });
        hydrix::rt::resetQueues();
        hydrix::rt::configurePool(kChan, 64, 256);
        useCentralEuropeanTime();
    }
    void TearDown() override {
        if (pooled_ && ch_) {
            v6::flushChannelQueues(ch_.get());
            if (ch_->replyBuffer) v6::insBuf(ch_.get(), &ch_->freeQueue, ch_->replyBuffer);
            ch_->replyBuffer = nullptr;
            EXPECT_EQ(v6::destroyBufferPool(ch_.get(), v6::POOL_SIZE), 1) << "a line buffer was not returned";
        }
        hydrix::rt::setTraceSink({});
        hydrix::rt::resetQueues();
    }

    // A channel record of its own (not one of the driver's), with a pool of line buffers.
    V6Channel &channel(bool withPool = true) {
        ch_ = std::make_unique<V6Channel>();
        ch_->channelNo = kChan;
        ch_->commHandle = COMM_HANDLE_INVALID;
        ch_->replyStation.store(-1);
        ch_->maxRetries = 3;
        if (withPool) {
            EXPECT_EQ(v6::createBufferPool(ch_.get(), v6::POOL_SIZE), 1);
            pooled_ = true;
        }
        return *ch_;
    }
    void addNode(uint32_t node, const char *route) {
        V6Node &n = ch_->nodeTable[ch_->nodeCount++];
        n.node = node;
        std::snprintf(n.route, sizeof n.route, "%s", route);
    }

    // A request from the host's pool as the current request of the channel.
    HostMsg *request(uint32_t node, uint32_t address, uint32_t direction, uint32_t index = 0) {
        HostMsg *m = getMsgFromPool(kChan);
        EXPECT_NE(m, nullptr);
        m->node = node;
        m->address = address;
        m->direction = direction;
        m->index = index;
        ch_->curMsg.store(m);
        return m;
    }
    void dropRequest() {
        if (HostMsg *m = ch_->curMsg.exchange(nullptr)) putMsgToPool(kChan, m);
    }

    // A reply text in a line buffer as the receiver hands it over: the text up to the
    // byte before "#", then a zero byte in that byte's place.
    V6Buffer *replyBuffer(const std::string &text) {
        V6Buffer *b = v6::takeBuf(ch_.get(), &ch_->freeQueue);
        EXPECT_NE(b, nullptr);
        v6::clearBuffer(b);
        std::memcpy(b->data, text.data(), text.size());
        b->data[text.size()] = '\0';
        b->length = static_cast<int32_t>(text.size());
        return b;
    }
    // The same, taken over by a parser; `cursorAt` is where parsing starts.
    void parseReply(const std::string &text, int cursorAt = 1) {
        V6Buffer *b = replyBuffer(text);
        ch_->replyBuffer = b;
        ch_->parseCursor = b->data + cursorAt;
    }

    // Every message the driver handed to the host so far.
    std::vector<HostMsg *> delivered() {
        std::vector<HostMsg *> out;
        while (HostMsg *m = hydrix::rt::waitInputQueue(kChan, 0)) out.push_back(m);
        return out;
    }
    void giveBack(const std::vector<HostMsg *> &msgs) {
        for (HostMsg *m : msgs) putMsgToPool(kChan, m);
    }

    std::vector<std::string> traces() {
        std::lock_guard<std::mutex> lock(traceMutex_);
        return traces_;
    }
    bool traced(const std::string &line) {
        for (const auto &t : traces())
            if (t == line) return true;
        return false;
    }
    int countTraced(const std::string &line) {
        int n = 0;
        for (const auto &t : traces()) n += t == line;
        return n;
    }
    void clearTraces() {
        std::lock_guard<std::mutex> lock(traceMutex_);
        traces_.clear();
    }

    std::unique_ptr<V6Channel> ch_;
    bool pooled_ = false;

private:
    std::mutex traceMutex_;
    std::vector<std::string> traces_;
};

template <typename T>
T valueAs(const HostMsg *m, int byteOffset = 0) {
    T v{};
    std::memcpy(&v, static_cast<const char *>(m->data) + byteOffset, sizeof v);
    return v;
}

// The telegram as a string of bytes.
inline std::string telegram(const V6Buffer *b) { return std::string(b->data, static_cast<size_t>(b->length)); }

// A v6 frame as a station sends it: lead, blank, text, blank, "#", blank, checksum,
// blank, CR and, unless told otherwise, LF.
inline std::string frame(const std::string &text, char lead = '\x02', int checkDelta = 0, bool lf = true) {
    const std::string inner = " " + text + " ";
    const uint32_t check = v6::frameChecksum(inner.data(), static_cast<int>(inner.size()));
    return std::string(1, lead) + inner + "# " + std::to_string(static_cast<int>(check) + checkDelta) + " \r" +
           (lf ? "\n" : "");
}

// A pseudo-terminal made the channel's port, with one-byte reads that give up after
// `readMs` of silence. The master side belongs to the test.
struct PtyPort {
    hydrix::station::Pty pty;
    int channel;
    PtyPort(int channel_, uint32_t readMs) : channel(channel_) {
        std::string error;
        auto p = hydrix::station::Pty::open(&error);
        if (!p) ADD_FAILURE() << error;
        pty = std::move(*p);
        hydrix::rt::PortSettings settings;
        settings.device = pty.slavePath();
        settings.line.baudRate = 9600;
        settings.line.byteSize = 8;
        auto failed = hydrix::rt::openChannelPort(channel, settings);
        if (failed) ADD_FAILURE() << *failed;
        CommSettings cs{};
        getDefaultCommSettings(channel, getCommHandle(channel), &cs);
        cs.timeouts = CommTimeouts{readMs, 0, 0, 100, 200};
        configComm(channel, getCommHandle(channel), &cs);
    }
    ~PtyPort() { hydrix::rt::closeChannelPort(channel); }
    void write(const std::string &bytes) const {
        ASSERT_EQ(::write(pty.master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};
