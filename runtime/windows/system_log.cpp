// Windows: event log entries may also go to the Windows event log, under the source
// "hydrix" (off unless setSyslog turns it on). Each entry is one of the three messages of
// the runtime's message table, by severity, with the whole text as its insertion string:
// Event Viewer shows it once the source is registered (hydrix-eventlog install).
#include <windows.h>

#include <mutex>

#include "hydrix_messages.h"
#include "runtime/internal.h"
#include "runtime/windows/event_source.h"

namespace hydrix::rt::detail {

const bool kSystemLogByDefault = false;

void writeSystemLog(uint32_t eventId, const std::string &text) {
    static HANDLE source = nullptr;
    static std::once_flag registered;
    std::call_once(registered, [] { source = RegisterEventSourceA(nullptr, kEventSource); });
    if (source == nullptr) return;
    // The two top bits of an event identifier give its severity: 3 error, 2 warning,
    // 1 information, 0 success.
    const uint32_t severity = eventId >> 30;
    const WORD type = severity == 3   ? EVENTLOG_ERROR_TYPE
                      : severity == 2 ? EVENTLOG_WARNING_TYPE
                                      : EVENTLOG_INFORMATION_TYPE;
    const DWORD message = severity == 3   ? HYDRIX_MSG_ERROR
                          : severity == 2 ? HYDRIX_MSG_WARNING
                                          : HYDRIX_MSG_INFORMATION;
    const char *strings[] = {text.c_str()};
    ReportEventA(source, type, 0, message, nullptr, 1, 0, strings, nullptr);
}

}  // namespace hydrix::rt::detail
