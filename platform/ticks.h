// Milliseconds and sleeping.
#pragma once
#include <cstdint>

namespace plat {

// Milliseconds of CLOCK_MONOTONIC, truncated to 32 bits: wraps after about 49.7 days.
// Elapsed time is (now - start) in unsigned 32-bit arithmetic, which survives the wrap.
uint32_t getTickCount();
// Sleeps for `ms` milliseconds (0 yields the processor), resuming after signals.
void sleepMs(uint32_t ms);
// Milliseconds from `start` to `now`, modulo 2^32.
inline uint32_t ticksSince(uint32_t start, uint32_t now) { return now - start; }

}  // namespace plat
