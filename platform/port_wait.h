// Waiting for bytes on a port and for a wake-up at the same time: a thread that reads
// only when input waits still hears at once that it must stop or pause.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "host/hydrix_host.h"

namespace plat {

// A wake-up for one waiting thread. The OS object behind it is made on first use and
// kept for the life of the process (a channel's waker serves it again after a restart).
class PortWaker {
public:
    // Ends the current wait, or the next one if nobody waits.
    void wake();
    enum class Result { Input, Woken, TimedOut, PortTrouble };
    // Waits at most `ms` for input on `port` or for wake(). `port` may be
    // COMM_HANDLE_INVALID: then only a wake-up or the time ends the wait. PortTrouble: the
    // port hung up or failed (its next read says how).
    Result wait(CommHandle port, uint32_t ms);

private:
    intptr_t object();  // -1 when it could not be made: waits then end by time alone
    std::once_flag made_;
    std::atomic<intptr_t> object_{-1};
};

}  // namespace plat
