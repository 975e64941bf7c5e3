#include "telegram/addressing.h"

namespace tg {

namespace {
// Entries in use, kept inside the table whatever the count says.
int32_t usedNodes(const TelegramChannel *ch) {
    if (ch->nodeCount < 0) return 0;
    return ch->nodeCount > HYDRIX_MAX_NODES ? HYDRIX_MAX_NODES : ch->nodeCount;
}
}  // namespace

void setErr(TelegramChannel *ch, uint32_t group, uint32_t code, uint32_t sub) {
    textOutputParm("setErr() grp = %d, rc = 0%X sub: 0x%X", static_cast<int>(group), code, sub);
    if (HostMsg *msg = ch->curMsg.load()) {
        msg->errGroup = group;
        msg->errCode = code;
        msg->errSub = sub;
    }
    ch->state.store(STATE_FAILED);
}

int32_t getPlantNumber(TelegramChannel *ch, uint32_t node) {
    const int32_t n = usedNodes(ch);
    for (int32_t i = 0; i < n; ++i) {
        if (ch->nodeTable[i].node == node) return static_cast<int32_t>(ch->nodeTable[i].plant);
    }
    textOutputParm("getPlantNumber(): Failed to lookup plantnumber for Node Number: %d", static_cast<int>(node));
    return -1;
}

int32_t getNodeNumber(TelegramChannel *ch, uint32_t plant) {
    const int32_t n = usedNodes(ch);
    for (int32_t i = 0; i < n; ++i) {
        if (ch->nodeTable[i].plant == plant) return static_cast<int32_t>(ch->nodeTable[i].node);
    }
    textOutputParm("getNodeNumber(): Failed to lookup Node Number for plant number: %d", static_cast<int>(plant));
    return -1;
}

}  // namespace tg
