// The connection event hooks: each goes to the engine that owns the channel.
#include "driver/engines.h"
#include "driver/state.h"

namespace {

bool added(uint32_t c) { return c < HYDRIX_CHANNELS && channelInUse[c].load() != 0; }
bool isTelegram(uint32_t c) { return telegramChannels[c].engine.load() != 0; }

}  // namespace

extern "C" {

HYDRIX_EXPORT int32_t preEvent(uint32_t channel, int32_t event, uint32_t node, int32_t *resultFlag) {
    if (!added(channel)) {
        // A channel that was never added has nobody to talk to. It answers as the default
        // engine (the telegram engine) does to every event: the result flag is set.
        if (resultFlag != nullptr) *resultFlag = 1;
        return -1;
    }
    const auto code = static_cast<int8_t>(event & 0xFF);
    if (isTelegram(channel)) return tg::preEvent(&telegramChannels[channel], code, resultFlag);
    return v6::preEvent(&v6Channels[channel], code, node, resultFlag);
}

HYDRIX_EXPORT int32_t postEvent(uint32_t channel) {
    if (!added(channel)) return 1;
    if (isTelegram(channel)) return tg::postEvent(&telegramChannels[channel]);
    return v6::postEvent(&v6Channels[channel]);
}

HYDRIX_EXPORT int32_t canDisconnect(uint32_t channel) {
    if (!added(channel)) return 0;
    if (isTelegram(channel)) return tg::canDisconnect(&telegramChannels[channel]);
    return v6::canDisconnect(&v6Channels[channel]);
}

}  // extern "C"
