// Stopping the driver as a host does: drvStop, then the host's timer until state 0.
#pragma once
#include <chrono>

#include "common/wait.h"
#include "host/hydrix_host.h"

// drvStop, then drvHndlTimer every `pollMs` until the driver is in state 0 or `limitMs`
// ran out; the milliseconds it took.
inline double stopDriver(int limitMs = 5000, int pollMs = 10) {
    const auto start = std::chrono::steady_clock::now();
    drvStop();
    eventually(
        [] {
            if (drvQueryState() != DRV_STATE_STOPPED) drvHndlTimer();
            return drvQueryState() == DRV_STATE_STOPPED;
        },
        limitMs, pollMs);
    return msSince(start);
}
