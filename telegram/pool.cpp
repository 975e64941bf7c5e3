#include "telegram/pool.h"

#include "platform/ticks.h"

namespace tg {

HostMsg *takeFromPool(uint32_t channel, int *attempts, int limit, uint32_t pauseMs) {
    for (;;) {
        ++*attempts;
        if (HostMsg *msg = getMsgFromPool(static_cast<int32_t>(channel))) return msg;
        if (*attempts >= limit) return nullptr;
        plat::sleepMs(pauseMs);
    }
}

}  // namespace tg
