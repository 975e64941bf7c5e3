#include "runtime/windows/event_source.h"

#include <windows.h>

#include "runtime/windows/errors.h"

namespace hydrix::rt {

std::string runtimeLibraryPath() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&runtimeLibraryPath), &self))
        return {};
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(path, n) : std::string();
}

std::string installEventSource(const std::string &messageFile) {
    const std::string file = messageFile.empty() ? runtimeLibraryPath() : messageFile;
    if (file.empty()) return "the path of the runtime library is not known";
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return std::string("HKLM\\") + kEventSourceKey + ": " + detail::systemErrorText(rc);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    rc = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(file.c_str()),
                        static_cast<DWORD>(file.size() + 1));
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types), sizeof types);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return std::string("HKLM\\") + kEventSourceKey + ": " + detail::systemErrorText(rc);
    return {};
}

std::string uninstallEventSource() {
    const LSTATUS rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return {};
    return std::string("HKLM\\") + kEventSourceKey + ": " + detail::systemErrorText(rc);
}

}  // namespace hydrix::rt
