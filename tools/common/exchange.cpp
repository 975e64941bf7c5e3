#include "exchange.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "runtime/runtime.h"

namespace hydrix::cli {
namespace {

constexpr size_t kAreaKept = 2048;
constexpr int kWaitSliceMs = 50;

}  // namespace

Exchange runExchange(Host &host, int channel, const Fill &fill, const OnMessage &onMessage, int guardMs, int tries) {
    Exchange ex;
    ex.tries = std::max(tries, 1);
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const int poolSize = rt::poolAvailable(channel);
    HostMsg *request = getMsgFromPool(channel);
    if (request == nullptr) {
        ex.noMessage = true;
        return ex;
    }
    void *area = request->data;
    std::memset(request, 0, sizeof *request);
    request->data = area;
    std::memset(area, 0, kAreaKept);
    fill(request);
    host.markTelegrams(channel);
    putMsgToSapOq(channel, request);

    auto deadline = Clock::now() + std::chrono::milliseconds(guardMs);
    while (!ex.finished) {
        if (stopRequested.load(std::memory_order_relaxed)) {
            ex.interrupted = true;
            break;
        }
        HostMsg *m = rt::waitInputQueue(channel, kWaitSliceMs);
        if (m == request) {
            ex.returned = ex.finished = true;
            ex.error = {m->errGroup, m->errCode, m->errSub};
            const auto *bytes = static_cast<const unsigned char *>(m->data);
            ex.area.assign(bytes, bytes + kAreaKept);
            putMsgToPool(channel, m);
        } else if (m != nullptr) {
            if (onMessage) onMessage(*m);
            putMsgToPool(channel, m);
            deadline = Clock::now() + std::chrono::milliseconds(guardMs);
        } else if (rt::poolAvailable(channel) == poolSize) {
            // Every message is home, the request included: the driver has finished it.
            ex.finished = true;
        } else if (Clock::now() > deadline) {
            ex.timedOut = true;
            break;
        }
    }
    ex.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    Host::Telegrams telegrams = host.telegramsSinceMark(channel);
    ex.received = std::move(telegrams.received);
    ex.sent = std::move(telegrams.sent);
    return ex;
}

Exchange runRequest(Host &host, const ChannelConfig &channel, Engine engine, uint32_t node, const RequestParts &parts,
                    const Fill &area, const OnMessage &onMessage) {
    return runExchange(
        host, channel.number,
        [&](HostMsg *m) {
            m->node = node;
            m->address = parts.address;
            m->index = parts.index;
            m->direction = parts.direction;
            m->length = parts.length;
            if (area) area(m);
        },
        onMessage, guardTime(engine, channel.retries, parts.history), channel.retries + 1);
}

int guardTime(Engine engine, int retries, bool history) {
    // Telegram engine: 5 s for the start of a reply and 5 s for its end. v6 engine: 10 s
    // to send and 10 s (history 60 s) for the reply. After an answer to a timed-out try
    // the line settles for up to 2 s.
    const int reply = engine == Engine::Telegram ? 5000 : (history ? 60000 : 10000);
    const int perTry = engine == Engine::Telegram ? 10000 : reply + 10000;
    constexpr int kSettleMs = 2000;
    return (std::max(retries, 0) + 1) * (perTry + 1000) + kSettleMs + 3000;
}

}  // namespace hydrix::cli
