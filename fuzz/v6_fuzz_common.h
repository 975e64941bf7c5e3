// Shared set-up of the v6 engine's fuzz targets: one quiet channel record with its line
// buffers, and the check that every buffer and host message came back after a run.
#pragma once
#include <cstdlib>

#include "runtime/runtime.h"
#include "v6/v6.h"

inline V6Channel *fuzzV6Channel(int chan) {
    static V6Channel *ch = [chan] {
        hydrix::rt::setTraceFile(nullptr);
        hydrix::rt::setSyslog(false);
        auto *c = new V6Channel();
        c->channelNo = chan;
        if (!v6::createBufferPool(c, v6::POOL_SIZE)) std::abort();
        return c;
    }();
    return ch;
}

// Hands every message the driver gave the host, or left for it, back to the pool.
inline void fuzzDrainToPool(int chan) {
    while (HostMsg *m = hydrix::rt::waitInputQueue(chan, 0)) putMsgToPool(chan, m);
    while (HostMsg *m = getMsgFromSapOq(chan)) putMsgToPool(chan, m);
}

// Releases what a run left on the channel and aborts unless the host's pool holds
// `poolSize` messages again and every line buffer is back in freeQueue.
inline void fuzzCheckReturned(V6Channel *ch, int poolSize) {
    const int chan = static_cast<int>(ch->channelNo);
    if (ch->replyBuffer != nullptr) v6::insBuf(ch, &ch->freeQueue, ch->replyBuffer);
    ch->replyBuffer = nullptr;
    ch->parseCursor = nullptr;
    if (HostMsg *m = ch->curMsg.exchange(nullptr)) putMsgToPool(chan, m);
    fuzzDrainToPool(chan);
    if (hydrix::rt::poolAvailable(chan) != poolSize) std::abort();
    int buffers = 0;
    for (V6Buffer *b = ch->freeQueue; b != nullptr; b = b->next) ++buffers;
    if (buffers != v6::POOL_SIZE) std::abort();
}
