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
// The same two, with the wait for the telegram's start counted from the tick `since`
// (when the host asked, before it waited for the line).
int32_t hndlWaitOK(TelegramChannel *ch, uint32_t since);
int32_t hndlGetCallerPlantID(TelegramChannel *ch, uint32_t since);
// What the host's events do when the worker keeps the line: forget the station on the
// line, as the two above do first, and leave "line busy" pending (20, 17666, 0).
void lineBusy(TelegramChannel *ch, int event);
// Sends BRK to the plant on the line.
int32_t sendBreak(TelegramChannel *ch);

// Serves curMsg by its kind and direction (the worker's serve step).
int32_t serveRequest(TelegramChannel *ch);

}  // namespace tg
