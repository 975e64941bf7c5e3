// The channel thread's reply step on arbitrary frames, in every exchange step: the reply
// words, the station numbers read from ALR, ACT and MRC, the SCO read-back and the start
// of each parser. The first byte picks the step, whether a request is being served and
// whether the driver runs; the rest is the frame text as the receiver hands it over.
// Checks: no access outside the buffers, and every line buffer and host message can be
// accounted for afterwards.
#include <cstdint>
#include <cstring>

#include "driver/state.h"
#include "v6_fuzz_common.h"

namespace {

constexpr int kChan = 1;
constexpr int kPool = 6;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    V6Channel *ch = fuzzV6Channel(kChan);
    hydrix::rt::configurePool(kChan, kPool, 64);
    fuzzDrainToPool(kChan);
    // Bit 6: the driver is stopping (a paused parse is then given up).
    driverState.store((data[0] & 0x40) ? DRV_STATE_STOPPING : DRV_STATE_RUNNING);
    hostRunning.store((data[0] & 0x40) ? 0 : 1);
    ch->state.store(v6::ST_REPLY);
    ch->step.store(data[0] % 16);
    ch->timeoutMs.store(10000);
    ch->startTick.store(0);
    if (data[0] & 0x10) {
        HostMsg *req = getMsgFromPool(kChan);
        req->node = 12;
        req->address = V6_ADDRESS(V6_WGS_PICTURE, 3);
        req->direction = (data[0] & 0x20) ? DIR_WRITE : DIR_READ;
        std::memset(req->data, 0, 8);
        ch->curMsg.store(req);
    }

    V6Buffer *buf = v6::takeBuf(ch, &ch->freeQueue);
    v6::clearBuffer(buf);
    const size_t n = size - 1 > V6_DATA_SIZE - 1 ? V6_DATA_SIZE - 1 : size - 1;
    std::memcpy(buf->data, data + 1, n);
    buf->data[n] = '\0';
    buf->length = static_cast<int32_t>(n);
    v6::appBuf(ch, &ch->rxQueue, buf);

    // The reply step and, while a parse goes on, its following passes.
    for (int pass = 0; pass < 1000 && ch->state.load() == v6::ST_REPLY; ++pass) {
        if (ch->rxQueue == nullptr && ch->replyBuffer == nullptr && pass > 0) break;
        v6::replyStep(ch);
        fuzzDrainToPool(kChan);
    }

    v6::flushChannelQueues(ch);
    fuzzCheckReturned(ch, kPool);
    return 0;
}
