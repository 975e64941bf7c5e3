// Millisecond ticks from the monotonic clock, and sleeping that survives signals.
#include "platform/ticks.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

namespace plat {

uint32_t getTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void sleepMs(uint32_t ms) {
    const int saved = errno;  // a sleep must not disturb the caller's last error
    if (ms == 0) {
        sched_yield();
    } else {
        timespec req{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
        timespec rem{};
        while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
    }
    errno = saved;
}

}  // namespace plat
