// The event log: every entry becomes a trace line "EVENT 0x<id> <source>:<line> (os <n>)
// <text>", an entry of the system's own log (syslog with identity "hydrix" on Linux, on
// by default; the Windows event log under the source "hydrix", off by default) and an
// element of loggedEvents().
#include <atomic>
#include <cstdarg>
#include <deque>
#include <mutex>

#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

// The list keeps the latest entries only, so that a long run cannot grow it without bound.
constexpr size_t kMaxKeptEvents = 10000;

struct EventLog {
    std::mutex mutex;
    std::deque<LoggedEvent> events;
};

EventLog &eventLog() {
    static EventLog log;
    return log;
}

std::atomic<bool> &systemLogOn() {
    static std::atomic<bool> on{detail::kSystemLogByDefault};
    return on;
}

}  // namespace

void setSyslog(bool on) { systemLogOn().store(on, std::memory_order_relaxed); }

std::vector<LoggedEvent> loggedEvents() {
    EventLog &log = eventLog();
    std::lock_guard lock(log.mutex);
    return {log.events.begin(), log.events.end()};
}

void clearLoggedEvents() {
    EventLog &log = eventLog();
    std::lock_guard lock(log.mutex);
    log.events.clear();
}

}  // namespace hydrix::rt

extern "C" int32_t logEvent(int32_t, uint32_t eventId, uint32_t osError, const char *source, int32_t sourceLine,
                            int32_t, int32_t, const char *format, ...) {
    using namespace hydrix::rt;
    va_list args;
    va_start(args, format);
    std::string text = detail::vformat(format, args);
    va_end(args);
    LoggedEvent event{eventId, osError, source ? source : "", sourceLine, text};

    detail::tracef("EVENT 0x%08X %s:%d (os %u) %s", eventId, event.source.c_str(), sourceLine, osError, text.c_str());
    EventLog &log = eventLog();
    std::lock_guard lock(log.mutex);
    if (systemLogOn().load(std::memory_order_relaxed))
        detail::writeSystemLog(eventId, detail::vformatText("event 0x%08X %s:%d (os %u) %s", eventId,
                                                            event.source.c_str(), sourceLine, osError, text.c_str()));
    log.events.push_back(std::move(event));
    if (log.events.size() > kMaxKeptEvents) log.events.pop_front();
    return 1;
}
