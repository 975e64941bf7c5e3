// The port status functions on a real COM port: Wine's COM5, a pseudo-terminal whose
// far end sends every byte back (pty-echo.py). Line status, purging and the bounded
// wait for input.
#include <windows.h>

#include <atomic>
#include <cstring>

#include "check.h"
#include "host/hydrix_host.h"
#include "platform/comm_status.h"
#include "platform/thread.h"
#include "platform/ticks.h"

namespace {

HANDLE gPort = INVALID_HANDLE_VALUE;

bool send(const char *text) {
    DWORD written = 0;
    const DWORD n = static_cast<DWORD>(std::strlen(text));
    return WriteFile(gPort, text, n, &written, nullptr) && written == n;
}

// Waits (bounded) until `want` bytes wait in the input queue; the count seen.
uint32_t inQueueReaching(uint32_t want) {
    plat::CommStat stat{};
    uint32_t errors = 0;
    for (int i = 0; i < 200; ++i) {
        if (!plat::clearCommError(gPort, &errors, &stat)) return 0;
        if (stat.cbInQue >= want) break;
        plat::sleepMs(5);
    }
    return stat.cbInQue;
}

void quietLine() {
    uint32_t errors = 77;
    plat::CommStat stat{99, 99};
    CHECK(plat::clearCommError(gPort, &errors, &stat) == 1);
    CHECK(errors == 0 && stat.cbInQue == 0);
    // Nothing comes: the wait ends after its time (ticks move in 16 ms steps here).
    const uint32_t start = plat::getTickCount();
    CHECK(!plat::waitCommInput(gPort, 150));
    const uint32_t took = plat::ticksSince(start, plat::getTickCount());
    CHECK(took >= 134 && took < 1000);
    CHECK(!plat::waitCommInput(gPort, 0));
}

void inputAndPurge() {
    CHECK(send("hello"));
    CHECK(plat::waitCommInput(gPort, 2000));
    CHECK(inQueueReaching(5) == 5);
    CHECK(plat::purgeComm(gPort, plat::COMM_PURGE_RXABORT | plat::COMM_PURGE_RXCLEAR) == 1);
    CHECK(inQueueReaching(1) == 0);
    CHECK(!plat::waitCommInput(gPort, 50));
    // Purging output, or nothing at all, is fine on an idle port.
    CHECK(plat::purgeComm(gPort, plat::COMM_PURGE_TXABORT | plat::COMM_PURGE_TXCLEAR) == 1);
    CHECK(plat::purgeComm(gPort, 0) == 1);
}

struct Waiter {
    std::atomic<bool> started{false};
    std::atomic<uint32_t> tookMs{0};
    std::atomic<bool> sawInput{false};
};

uint32_t waitsForInput(void *p) {
    auto *w = static_cast<Waiter *>(p);
    const uint32_t start = plat::getTickCount();
    w->started.store(true);
    w->sawInput.store(plat::waitCommInput(gPort, 5000));
    w->tookMs.store(plat::ticksSince(start, plat::getTickCount()));
    return 0;
}

// A waiting reader wakes soon after bytes arrive, not at the end of its wait.
void wakesOnInput() {
    Waiter w;
    plat::ThreadHandle h = plat::createThreadSuspended(waitsForInput, &w);
    plat::resumeThread(h);
    while (!w.started.load()) plat::sleepMs(1);
    plat::sleepMs(100);
    CHECK(send("x"));
    uint32_t code = plat::THREAD_STILL_ACTIVE;
    for (int i = 0; i < 1000 && code == plat::THREAD_STILL_ACTIVE; ++i) {
        plat::getExitCodeThread(h, &code);
        plat::sleepMs(5);
    }
    CHECK(code == 0);
    CHECK(w.sawInput.load());
    CHECK(w.tookMs.load() >= 84 && w.tookMs.load() < 2000);
    plat::closeHandle(h);
    plat::purgeComm(gPort, plat::COMM_PURGE_RXCLEAR);
}

}  // namespace

int main(int argc, char **argv) {
    const char *name = argc > 1 ? argv[1] : "\\\\.\\COM5";
    gPort = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!CHECK(gPort != INVALID_HANDLE_VALUE)) {
        std::printf("cannot open %s (error %lu)\n", name, GetLastError());
        return wincheck::finish();
    }
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 1000};  // reads return at once
    CHECK(SetCommTimeouts(gPort, &t));
    plat::purgeComm(gPort, plat::COMM_PURGE_RXCLEAR | plat::COMM_PURGE_TXCLEAR);
    quietLine();
    inputAndPurge();
    wakesOnInput();
    CloseHandle(gPort);
    return wincheck::finish();
}
