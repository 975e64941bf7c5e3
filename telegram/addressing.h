// Node and plant numbers, request addresses, and recording a failure in the request.
#pragma once
#include <cstdint>

#include "driver/channels.h"

namespace tg {

// Copies the error triple into the request being served and moves the worker to its
// error state.
void setErr(TelegramChannel *ch, uint32_t group, uint32_t code, uint32_t sub);
// The plant number of a node, or -1 (with a trace line) when the node is not listed.
int32_t getPlantNumber(TelegramChannel *ch, uint32_t node);
// The node number of a plant, or -1 (with a trace line) when the plant is not listed.
int32_t getNodeNumber(TelegramChannel *ch, uint32_t plant);

inline uint32_t getRequestKind(uint32_t address) { return (address & 0xFF00u) >> 8; }
inline uint32_t getItemNumber(uint32_t address) { return address & 0xFFu; }

// Worker states.
enum : uint32_t { STATE_TAKE = 0, STATE_SERVE = 1, STATE_FAILED = 3, STATE_REOPEN = 4 };

}  // namespace tg
