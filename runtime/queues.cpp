// Per-channel output queue (host -> driver), input queue (driver -> host) and message
// pool. Every pool message owns a value area of the pool's size. A channel's queues and
// pool share one mutex; the input queue has a condition variable for waitInputQueue.
//
// Every message ever handed out by a pool stays registered with the channel that made it,
// so putMsgToPool can tell its own messages from foreign memory and from messages that
// are already back (a second return is refused rather than duplicated). When
// configurePool replaces a pool, messages that are out at that moment are marked retired
// and freed when they come back.
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

constexpr int kDefaultPoolCount = 64;
constexpr int kDefaultValueAreaBytes = 2048;

struct PoolMsg {
    HostMsg msg{};
    std::unique_ptr<unsigned char[]> area;
    size_t areaBytes = 0;
    bool inPool = false;
    bool retired = false;
};

struct Channel {
    std::mutex mutex;
    std::condition_variable inputReady;
    std::deque<HostMsg *> output;
    std::deque<HostMsg *> input;
    std::deque<PoolMsg *> free;
    std::unordered_map<HostMsg *, std::unique_ptr<PoolMsg>> owned;
    bool configured = false;

    void fillLocked(int count, int valueAreaBytes) {
        for (int i = 0; i < count; ++i) {
            auto entry = std::make_unique<PoolMsg>();
            entry->areaBytes = static_cast<size_t>(valueAreaBytes);
            entry->area = std::make_unique<unsigned char[]>(entry->areaBytes ? entry->areaBytes : 1);
            entry->msg.data = entry->area.get();
            entry->inPool = true;
            free.push_back(entry.get());
            owned.emplace(&entry->msg, std::move(entry));
        }
        configured = true;
    }
    void ensureLocked() {
        if (!configured) fillLocked(kDefaultPoolCount, kDefaultValueAreaBytes);
    }
    // Takes a message back; false when it is not one of ours or already back.
    enum class Back { Taken, Foreign, AlreadyBack };
    Back returnLocked(HostMsg *msg) {
        auto it = owned.find(msg);
        if (it == owned.end()) return Back::Foreign;
        PoolMsg *entry = it->second.get();
        if (entry->inPool) return Back::AlreadyBack;
        if (entry->retired) {
            owned.erase(it);
        } else {
            entry->inPool = true;
            free.push_back(entry);
        }
        return Back::Taken;
    }
};

std::array<Channel, HYDRIX_CHANNELS> &channels() {
    static std::array<Channel, HYDRIX_CHANNELS> all;
    return all;
}

Channel *channelFor(const char *service, long channel) {
    if (!detail::checkChannel(service, channel)) return nullptr;
    detail::noteThreadChannel(static_cast<int>(channel));
    return &channels()[static_cast<size_t>(channel)];
}

bool checkMsg(const char *service, int32_t channel, const HostMsg *msg) {
    if (msg) return true;
    detail::tracef("%s: null message for channel %d", service, channel);
    return false;
}

int32_t queueOutput(const char *service, int32_t channel, HostMsg *msg, bool atHead) {
    Channel *c = channelFor(service, channel);
    if (!c || !checkMsg(service, channel, msg)) return 0;
    std::lock_guard lock(c->mutex);
    if (atHead)
        c->output.push_front(msg);
    else
        c->output.push_back(msg);
    return 1;
}

}  // namespace

void configurePool(int channel, int count, int valueAreaBytes) {
    Channel *c = channelFor("configurePool", channel);
    if (!c) return;
    count = std::max(count, 0);
    valueAreaBytes = std::max(valueAreaBytes, 0);
    std::lock_guard lock(c->mutex);
    for (auto it = c->owned.begin(); it != c->owned.end();) {
        if (it->second->inPool) {
            it = c->owned.erase(it);
        } else {
            it->second->retired = true;
            ++it;
        }
    }
    c->free.clear();
    c->fillLocked(count, valueAreaBytes);
}

HostMsg *waitInputQueue(int channel, int timeoutMs) {
    Channel *c = channelFor("waitInputQueue", channel);
    if (!c) return nullptr;
    std::unique_lock lock(c->mutex);
    auto ready = [c] { return !c->input.empty(); };
    if (timeoutMs < 0)
        c->inputReady.wait(lock, ready);
    else if (!c->inputReady.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
        return nullptr;
    HostMsg *msg = c->input.front();
    c->input.pop_front();
    return msg;
}

int outputQueueLength(int channel) {
    Channel *c = channelFor("outputQueueLength", channel);
    if (!c) return 0;
    std::lock_guard lock(c->mutex);
    return static_cast<int>(c->output.size());
}

int inputQueueLength(int channel) {
    Channel *c = channelFor("inputQueueLength", channel);
    if (!c) return 0;
    std::lock_guard lock(c->mutex);
    return static_cast<int>(c->input.size());
}

int poolAvailable(int channel) {
    Channel *c = channelFor("poolAvailable", channel);
    if (!c) return 0;
    std::lock_guard lock(c->mutex);
    c->ensureLocked();
    return static_cast<int>(c->free.size());
}

void resetQueues() {
    for (Channel &c : channels()) {
        std::lock_guard lock(c.mutex);
        for (auto *queue : {&c.output, &c.input}) {
            for (HostMsg *msg : *queue) c.returnLocked(msg);  // foreign messages are dropped
            queue->clear();
        }
    }
}

}  // namespace hydrix::rt

using hydrix::rt::Channel;

extern "C" HostMsg *HYDRIX_CALL getMsgFromSapOq(int32_t channel) {
    Channel *c = hydrix::rt::channelFor("getMsgFromSapOq", channel);
    if (!c) return nullptr;
    std::lock_guard lock(c->mutex);
    if (c->output.empty()) return nullptr;
    HostMsg *msg = c->output.front();
    c->output.pop_front();
    return msg;
}

extern "C" int32_t HYDRIX_CALL insMsgToSapOq(int32_t channel, HostMsg *msg) {
    return hydrix::rt::queueOutput("insMsgToSapOq", channel, msg, true);
}

extern "C" int32_t HYDRIX_CALL putMsgToSapOq(int32_t channel, HostMsg *msg) {
    return hydrix::rt::queueOutput("putMsgToSapOq", channel, msg, false);
}

extern "C" int32_t HYDRIX_CALL putMsgToSapIq(int32_t channel, HostMsg *msg) {
    Channel *c = hydrix::rt::channelFor("putMsgToSapIq", channel);
    if (!c || !hydrix::rt::checkMsg("putMsgToSapIq", channel, msg)) return 0;
    {
        std::lock_guard lock(c->mutex);
        c->input.push_back(msg);
    }
    c->inputReady.notify_one();
    return 1;
}

extern "C" HostMsg *HYDRIX_CALL getMsgFromPool(int32_t channel) {
    Channel *c = hydrix::rt::channelFor("getMsgFromPool", channel);
    if (!c) return nullptr;
    std::lock_guard lock(c->mutex);
    c->ensureLocked();
    if (c->free.empty()) return nullptr;
    hydrix::rt::PoolMsg *entry = c->free.front();
    c->free.pop_front();
    entry->inPool = false;
    entry->msg = HostMsg{};
    entry->msg.data = entry->area.get();
    std::memset(entry->area.get(), 0, entry->areaBytes);
    return &entry->msg;
}

extern "C" int32_t HYDRIX_CALL putMsgToPool(int32_t channel, HostMsg *msg) {
    Channel *c = hydrix::rt::channelFor("putMsgToPool", channel);
    if (!c || !hydrix::rt::checkMsg("putMsgToPool", channel, msg)) return 0;
    // A message normally goes back to the pool of its own channel; look there first, then
    // in the other channels' pools.
    auto &all = hydrix::rt::channels();
    size_t first = static_cast<size_t>(channel);
    for (size_t k = 0; k < all.size(); ++k) {
        Channel &owner = all[(first + k) % all.size()];
        std::lock_guard lock(owner.mutex);
        switch (owner.returnLocked(msg)) {
        case Channel::Back::Taken:
            return 1;
        case Channel::Back::AlreadyBack:
            hydrix::rt::detail::tracef("putMsgToPool: message %p is already in the pool", static_cast<void *>(msg));
            return 0;
        case Channel::Back::Foreign:
            break;
        }
    }
    hydrix::rt::detail::tracef("putMsgToPool: message %p does not come from a pool", static_cast<void *>(msg));
    return 0;
}
