// Waiting in tests: a condition polled until it holds or its time runs out.
#pragma once
#include <unistd.h>

#include <chrono>
#include <functional>

// Polls `ready` (once per try: it may have effects) every `pollMs` until it holds or
// `timeoutMs` ran out; whether it held.
inline bool eventually(const std::function<bool()> &ready, int timeoutMs = 5000, int pollMs = 10) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        usleep(static_cast<useconds_t>(pollMs) * 1000);
    }
    return true;
}

// Milliseconds since `start`.
inline double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
