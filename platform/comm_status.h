// Line status and queue purging on an open port (a tty descriptor on Linux, a COM port
// handle on Windows). The constants carry Windows' values under names of their own, so
// that <windows.h>, which defines CE_* and PURGE_* as macros, may be included before or
// after this header.
#pragma once
#include <cstdint>
#include "host/hydrix_host.h"

namespace plat {

// Line error bits, as ClearCommError reports them (CE_RXOVER ... CE_BREAK).
constexpr uint32_t LINE_ERR_RXOVER = 0x0001;
constexpr uint32_t LINE_ERR_OVERRUN = 0x0002;
constexpr uint32_t LINE_ERR_RXPARITY = 0x0004;
constexpr uint32_t LINE_ERR_FRAME = 0x0008;
constexpr uint32_t LINE_ERR_BREAK = 0x0010;

struct CommStat {
    uint32_t cbInQue;   // bytes received and not yet read
    uint32_t cbOutQue;  // bytes written and not yet sent (always 0 on a pseudo-terminal)
};

// Reports the line errors since the last call and the queue counts. Line errors come
// from the device's error counters where it keeps them; a device without them (a
// pseudo-terminal) reports none. Returns 0 when the handle is not a valid descriptor.
int clearCommError(CommHandle h, uint32_t *errors, CommStat *stat);

// PurgeComm's flags (PURGE_TXABORT ... PURGE_RXCLEAR).
constexpr uint32_t COMM_PURGE_TXABORT = 0x0001;
constexpr uint32_t COMM_PURGE_RXABORT = 0x0002;
constexpr uint32_t COMM_PURGE_TXCLEAR = 0x0004;
constexpr uint32_t COMM_PURGE_RXCLEAR = 0x0008;

// Discards the queued bytes that `flags` name (TXCLEAR: output, RXCLEAR: input; on
// Linux the ABORT bits have nothing to abort with blocking I/O, on Windows they end the
// port's pending overlapped reads and writes). Returns 0 on failure, with the reason
// in getLastError().
int purgeComm(CommHandle h, uint32_t flags);

// Waits at most `ms` until received bytes wait on the port; true when they do. A port that
// has failed (hung up, closed) counts as ready: the read that follows reports the failure.
bool waitCommInput(CommHandle h, uint32_t ms);

// Sets the DTR control of a settings record (DTR_CONTROL_DISABLE, _ENABLE, _HANDSHAKE).
inline void setDtrControl(CommSettings *s, unsigned control) {
#ifdef _WIN32
    s->line.fDtrControl = control & 3u;
#else
    s->line.dtrControl = static_cast<uint8_t>(control);
#endif
}

}  // namespace plat
