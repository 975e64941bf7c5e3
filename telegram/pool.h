// Getting a message from the host's pool when it may be empty for a while.
#pragma once
#include <cstdint>

#include "host/hydrix_host.h"

namespace tg {

// One attempt counter shared by several takes: each take counts its attempts on it, and
// once it has reached `limit` a failed attempt is final. Between failed attempts the
// caller's thread sleeps `pauseMs`.
HostMsg *takeFromPool(uint32_t channel, int *attempts, int limit, uint32_t pauseMs);

}  // namespace tg
