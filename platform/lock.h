// Critical sections and wake-up events.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#endif

namespace plat {

// A recursive lock, as a Windows critical section is: the owner may enter again.
#ifdef _WIN32
struct CriticalSection {
    CriticalSection() { InitializeCriticalSection(&cs); }
    ~CriticalSection() { DeleteCriticalSection(&cs); }
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;
    CRITICAL_SECTION cs;
};
inline void enterCriticalSection(CriticalSection *c) { EnterCriticalSection(&c->cs); }
inline void leaveCriticalSection(CriticalSection *c) { LeaveCriticalSection(&c->cs); }
#else
struct CriticalSection {
    std::recursive_mutex m;
};
inline void enterCriticalSection(CriticalSection *cs) { cs->m.lock(); }
inline void leaveCriticalSection(CriticalSection *cs) { cs->m.unlock(); }
#endif

// An auto-reset event: signal() wakes one waiter, or the next wait if nobody waits.
// Lets a polling thread keep its polling interval as the longest wait while
// waking at once when there is something to do.
class WakeEvent {
public:
    void signal();
    // Waits up to `ms` milliseconds; true when signalled (the signal is consumed).
    bool wait(uint32_t ms);

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool set_ = false;
};

}  // namespace plat
