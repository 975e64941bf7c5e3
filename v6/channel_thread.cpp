// Placeholder until the engine lands: the channel thread idles until told to stop.
#include "driver/engines.h"
#include "driver/state.h"
#include "platform/ticks.h"

namespace v6 {
int32_t startLowLevel(V6Channel *ch) {
    if (ch->lowLevelRunning.load()) return 0;
    ch->lowLevelRunning.store(1);
    return 1;
}
int32_t stopLowLevel(V6Channel *ch) {
    ch->lowLevelRunning.store(0);
    return 1;
}
uint32_t channelThread(void *arg) {
    auto *ch = static_cast<V6Channel *>(arg);
    while (!ch->stopChannelThread.load(std::memory_order_acquire)) {
        if (currentDriverState() == DRV_STATE_STOPPING && ch->lowLevelRunning.load()) stopLowLevel(ch);
        plat::sleepMs(60);
    }
    return 1;
}
}  // namespace v6
