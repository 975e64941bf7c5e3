// Windows: event log entries may also go to the Windows event log, under the source
// "hydrix" (off unless setSyslog turns it on: a site that wants them registers the
// source, or reads them with the generic message text).
#include <windows.h>

#include <mutex>

#include "runtime/internal.h"

namespace hydrix::rt::detail {

const bool kSystemLogByDefault = false;

void writeSystemLog(uint32_t eventId, const std::string &text) {
    static HANDLE source = nullptr;
    static std::once_flag registered;
    std::call_once(registered, [] { source = RegisterEventSourceA(nullptr, "hydrix"); });
    if (source == nullptr) return;
    // The two top bits of an event identifier give its severity: 3 error, 2 warning,
    // 1 information, 0 success.
    const WORD type = (eventId >> 30) == 3   ? EVENTLOG_ERROR_TYPE
                      : (eventId >> 30) == 2 ? EVENTLOG_WARNING_TYPE
                                             : EVENTLOG_INFORMATION_TYPE;
    const char *strings[] = {text.c_str()};
    ReportEventA(source, type, 0, eventId, nullptr, 1, 0, strings, nullptr);
}

}  // namespace hydrix::rt::detail
