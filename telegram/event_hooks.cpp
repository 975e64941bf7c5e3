// Placeholder until the engine lands.
#include "driver/engines.h"

namespace tg {
int32_t preEvent(TelegramChannel *ch, int8_t, int32_t *resultFlag) {
    if (resultFlag) *resultFlag = 1;
    return ch->curNode.load();
}
int32_t postEvent(TelegramChannel *) { return 1; }
int32_t canDisconnect(TelegramChannel *) { return 0; }
}  // namespace tg
