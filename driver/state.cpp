// The driver-wide state and the two channel tables.
#include "driver/state.h"

std::atomic<uint32_t> driverState{DRV_STATE_STOPPED};
std::atomic<uint32_t> hostRunning{0};
std::atomic<uint32_t> channelInUse[HYDRIX_CHANNELS]{};
std::atomic<int32_t> debugLevel{0};

TelegramChannel telegramChannels[HYDRIX_CHANNELS]{};
V6Channel v6Channels[HYDRIX_CHANNELS]{};
