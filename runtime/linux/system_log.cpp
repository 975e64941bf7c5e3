// Linux: event log entries also go to syslog, identity "hydrix".
#include <syslog.h>

#include <mutex>

#include "runtime/internal.h"

namespace hydrix::rt::detail {

const bool kSystemLogByDefault = true;

void writeSystemLog(uint32_t eventId, const std::string &text) {
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("hydrix", LOG_PID, LOG_USER); });
    // The two top bits of an event identifier give its severity: 3 error, 2 warning,
    // 1 information, 0 success.
    const int priority = (eventId >> 30) == 3 ? LOG_ERR : (eventId >> 30) == 2 ? LOG_WARNING : LOG_INFO;
    syslog(priority, "%s", text.c_str());
}

}  // namespace hydrix::rt::detail
