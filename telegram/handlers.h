// The request handlers and the connection exchanges of the telegram engine. Every handler
// finds its request in ch->curMsg and returns 1 when it is done, or 0 with the pending
// error triple telling why it failed.
#pragma once
#include <cstdint>

#include "driver/channels.h"

namespace tg {

int32_t hndlRequestPicture(TelegramChannel *ch);
int32_t hndlRequestReport(TelegramChannel *ch);
int32_t hndlRequestSetpoints(TelegramChannel *ch);
int32_t hndlWriteSetpoints(TelegramChannel *ch);
// The history and alarm reads set *again when the station has more to deliver.
int32_t hndlRequestHistory(TelegramChannel *ch, int32_t *again);
int32_t hndlRequestAlarms(TelegramChannel *ch, int32_t *again);
int32_t hndlMachineControl(TelegramChannel *ch);

// Tells the host how far the history has been read (a message of its own) and moves the
// request's start time there. 0 when the pool had no message.
int32_t reportHistoryTime(TelegramChannel *ch, OrvelTime time);

// Waits for the station's "OK" after a call was set up.
int32_t hndlWaitOK(TelegramChannel *ch);
// Reads a calling station's first telegram (ACT or ALR) and takes its plant number.
int32_t hndlGetCallerPlantID(TelegramChannel *ch);
// Sends BRK to the plant on the line.
int32_t sendBreak(TelegramChannel *ch);

// Serves curMsg by its kind and direction (the worker's serve step).
int32_t serveRequest(TelegramChannel *ch);

// Pause between attempts to get a message from an empty pool.
constexpr uint32_t POOL_RETRY_MS = 200;

}  // namespace tg
