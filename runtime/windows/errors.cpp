#include "runtime/windows/errors.h"

#include "runtime/runtime.h"

#include <windows.h>

namespace hydrix::rt::detail {

std::string systemErrorText(uint32_t error) {
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = '\0';
    std::string out = n > 0 ? std::string(text, n) + " " : std::string();
    return out + "(error " + std::to_string(error) + ")";
}

}  // namespace hydrix::rt::detail

namespace hydrix::rt {

std::string systemErrorText(uint32_t error) { return detail::systemErrorText(error); }

}  // namespace hydrix::rt
