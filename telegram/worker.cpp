// Placeholder until the engine lands: the worker idles until told to stop and serves nothing.
#include "driver/engines.h"
#include "platform/ticks.h"

namespace tg {
uint32_t channelWorker(void *arg) {
    auto *ch = static_cast<TelegramChannel *>(arg);
    while (!ch->stopRequest.load(std::memory_order_acquire)) plat::sleepMs(50);
    return 1;
}
}  // namespace tg
