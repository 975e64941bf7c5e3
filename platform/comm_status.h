// Line status and queue purging on an open port (a tty descriptor on Linux).
#pragma once
#include <cstdint>
#include "host/hydrix_host.h"

namespace plat {

// Line error bits, as ClearCommError reports them.
constexpr uint32_t CE_RXOVER = 0x0001;
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;

struct CommStat {
    uint32_t cbInQue;   // bytes received and not yet read
    uint32_t cbOutQue;  // bytes written and not yet sent (always 0 on a pseudo-terminal)
};

// Reports the line errors since the last call and the queue counts. Line errors come
// from the device's error counters where it keeps them; a device without them (a
// pseudo-terminal) reports none. Returns 0 when the handle is not a valid descriptor.
int clearCommError(CommHandle h, uint32_t *errors, CommStat *stat);

constexpr uint32_t PURGE_TXABORT = 0x0001;
constexpr uint32_t PURGE_RXABORT = 0x0002;
constexpr uint32_t PURGE_TXCLEAR = 0x0004;
constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// Discards the queued bytes that `flags` name (TXCLEAR: output, RXCLEAR: input; the
// ABORT bits have nothing to abort with blocking I/O). Returns 0 on failure, with the
// reason in getLastError().
int purgeComm(CommHandle h, uint32_t flags);

// Waits at most `ms` until received bytes wait on the port; true when they do. A port that
// has failed (hung up, closed) counts as ready: the read that follows reports the failure.
bool waitCommInput(CommHandle h, uint32_t ms);

}  // namespace plat
