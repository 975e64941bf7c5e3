// Getting a message from the host's pool when it may be empty for a while.
#pragma once
#include <atomic>
#include <cstdint>

#include "driver/channels.h"
#include "host/hydrix_host.h"

namespace tg {

// Pause between attempts to get a message from an empty pool (200 ms; tests shorten it).
extern std::atomic<uint32_t> poolRetryMs;

// One pause between two attempts. The channel's line is free for the host meanwhile
// (the exchange lock is given up for the pause when this thread holds it). False, at
// once, when the exchange is abandoned (a stop): the caller gives up waiting.
bool poolPause(TelegramChannel *ch);

// One attempt counter shared by several takes: each take counts its attempts on it, and
// once it has reached `limit` a failed attempt is final. Between failed attempts,
// poolPause; a stop ends the wait with no message.
HostMsg *takeFromPool(TelegramChannel *ch, int *attempts, int limit);

}  // namespace tg
