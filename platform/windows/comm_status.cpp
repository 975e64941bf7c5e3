// Line status and purging on a COM port handle.
#include "platform/comm_status.h"

#include <windows.h>

#include <mutex>
#include <unordered_map>

namespace plat {

static_assert(LINE_ERR_RXOVER == CE_RXOVER && LINE_ERR_OVERRUN == CE_OVERRUN && LINE_ERR_RXPARITY == CE_RXPARITY &&
              LINE_ERR_FRAME == CE_FRAME && LINE_ERR_BREAK == CE_BREAK);
static_assert(COMM_PURGE_TXABORT == PURGE_TXABORT && COMM_PURGE_RXABORT == PURGE_RXABORT &&
              COMM_PURGE_TXCLEAR == PURGE_TXCLEAR && COMM_PURGE_RXCLEAR == PURGE_RXCLEAR);

namespace {

// How often waitCommInput looks at the receive queue. The port is the host's, opened
// for overlapped reads that the host's readComm makes: a comm event mask of our own
// would disturb them, so the wait asks for the queue count, a cheap call, in short
// sleeps.
constexpr DWORD kInputPollMs = 5;

// ClearCommError clears the error bits it reports. Those that come to light while
// waitCommInput looks at the queue are kept here for the next clearCommError on the
// same port, so that no line error goes unreported.
std::mutex gHeldLock;
std::unordered_map<HANDLE, DWORD> gHeldErrors;

void holdErrors(HANDLE h, DWORD errors) {
    if (errors == 0) return;
    std::lock_guard lk(gHeldLock);
    gHeldErrors[h] |= errors;
}

DWORD takeHeldErrors(HANDLE h) {
    std::lock_guard lk(gHeldLock);
    const auto it = gHeldErrors.find(h);
    if (it == gHeldErrors.end()) return 0;
    const DWORD errors = it->second;
    gHeldErrors.erase(it);
    return errors;
}

}  // namespace

int clearCommError(CommHandle h, uint32_t *errors, CommStat *stat) {
    DWORD found = 0;
    COMSTAT counts{};
    if (!ClearCommError(h, &found, &counts)) return 0;  // GetLastError tells why
    found |= takeHeldErrors(h);
    if (errors != nullptr) *errors = found;
    if (stat != nullptr) {
        stat->cbInQue = counts.cbInQue;
        stat->cbOutQue = counts.cbOutQue;
    }
    return 1;
}

int purgeComm(CommHandle h, uint32_t flags) { return PurgeComm(h, flags) ? 1 : 0; }

bool waitCommInput(CommHandle h, uint32_t ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        COMSTAT counts{};
        DWORD found = 0;
        if (!ClearCommError(h, &found, &counts)) return true;
        holdErrors(h, found);
        if (counts.cbInQue > 0) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return false;
        const DWORD left = ms - elapsed;
        Sleep(left < kInputPollMs ? left : kInputPollMs);
    }
}

}  // namespace plat
