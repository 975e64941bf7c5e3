// The Windows event log source "hydrix": its registration, which tells Event Viewer
// where the texts of its entries are (the message table of hydrix_runtime.dll).
#pragma once
#include <string>

#include "runtime/runtime.h"

namespace hydrix::rt {

// The event log source the runtime writes under.
inline constexpr const char *kEventSource = "hydrix";
// Its registry key, below HKEY_LOCAL_MACHINE.
inline constexpr const char *kEventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\hydrix";

// Registers the source with `messageFile` (default: this DLL's own path) as its message
// file. Needs the right to write HKEY_LOCAL_MACHINE (an administrator). An empty result
// on success, else what failed in words.
HYDRIX_RT_API std::string installEventSource(const std::string &messageFile = {});
// Removes the registration; a source that is not registered is no failure.
HYDRIX_RT_API std::string uninstallEventSource();
// The path of hydrix_runtime.dll as loaded.
HYDRIX_RT_API std::string runtimeLibraryPath();

}  // namespace hydrix::rt
