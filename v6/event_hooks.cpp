// Placeholder until the engine lands.
#include "driver/engines.h"

namespace v6 {
int32_t preEvent(V6Channel *ch, int8_t, uint32_t, int32_t *) { return ch->callerStation.load(); }
int32_t postEvent(V6Channel *) { return 1; }
int32_t canDisconnect(V6Channel *) { return 0; }
}  // namespace v6
