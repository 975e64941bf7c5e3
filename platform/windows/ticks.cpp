// Millisecond ticks and sleeping on the Windows clock.
#include "platform/ticks.h"

#include <windows.h>

namespace plat {

uint32_t getTickCount() { return GetTickCount(); }

void sleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace plat
