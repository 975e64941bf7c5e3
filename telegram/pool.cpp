#include "telegram/pool.h"

#include "telegram/exchange_lock.h"
#include "telegram/framing.h"

namespace tg {

std::atomic<uint32_t> poolRetryMs{200};

bool poolPause(TelegramChannel *ch) {
    if (exchangeAbandoned(ch)) return false;
    // The worker may wait for the pool for up to a minute; the host's connection events
    // must not wait for it that long, so the line is theirs meanwhile.
    sleepOffLine(ch->channelNo, poolRetryMs.load(std::memory_order_relaxed));
    return !exchangeAbandoned(ch);
}

HostMsg *takeFromPool(TelegramChannel *ch, int *attempts, int limit) {
    for (;;) {
        ++*attempts;
        if (HostMsg *msg = getMsgFromPool(static_cast<int32_t>(ch->channelNo))) return msg;
        if (*attempts >= limit || !poolPause(ch)) return nullptr;
    }
}

}  // namespace tg
