// Driver-wide state: one instance, zero at load.
#pragma once
#include <atomic>
#include <cstdint>

#include "driver/channels.h"

// What drvQueryState returns (DRV_STATE_*). Written by the entry points, read by every
// channel thread on every pass of its loop.
extern std::atomic<uint32_t> driverState;
// 1 from the end of drvStart to drvStop: finished requests go to the host, else to the pool.
extern std::atomic<uint32_t> hostRunning;
// Flag c is 1 once drvAddChan has added channel c.
extern std::atomic<uint32_t> channelInUse[HYDRIX_CHANNELS];
// The "Debug" key of the driver's section; nonzero turns on the telegram byte dumps.
extern std::atomic<int32_t> debugLevel;

extern TelegramChannel telegramChannels[HYDRIX_CHANNELS];
extern V6Channel v6Channels[HYDRIX_CHANNELS];

// The event log's source name.
constexpr const char *HYDRIX_SOURCE = "HYDRIX";

// Loads a state word for a channel thread's loop test.
inline uint32_t currentDriverState() { return driverState.load(std::memory_order_acquire); }
inline bool hostTakesResults() { return hostRunning.load(std::memory_order_acquire) != 0; }
