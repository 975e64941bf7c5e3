// What the entry points call in each engine.
#pragma once
#include <cstdint>

#include "driver/channels.h"

namespace tg {
// Thread function of a telegram channel's worker; the argument is its TelegramChannel.
// Returns 1 when it leaves its loop on stopRequest.
uint32_t channelWorker(void *arg);
// The telegram engine's half of the event hooks.
int32_t preEvent(TelegramChannel *ch, int8_t event, int32_t *resultFlag);
int32_t postEvent(TelegramChannel *ch);
int32_t canDisconnect(TelegramChannel *ch);
}  // namespace tg

namespace v6 {
// Creates the buffer pool and starts the receiver and transmitter threads.
// Returns 0 when lowLevelRunning is already 1 or a part cannot be made.
int32_t startLowLevel(V6Channel *ch);
// Stops the receiver and transmitter threads and destroys the buffer pool.
int32_t stopLowLevel(V6Channel *ch);
// Thread function of a v6 channel thread; the argument is its V6Channel.
// Returns 1 when it leaves its loop on stopChannelThread.
uint32_t channelThread(void *arg);
// The v6 engine's half of the event hooks.
int32_t preEvent(V6Channel *ch, int8_t event, uint32_t node, int32_t *resultFlag);
int32_t postEvent(V6Channel *ch);
int32_t canDisconnect(V6Channel *ch);
}  // namespace v6
