// Windows: the driver library is loaded with LoadLibrary, its entry points found by
// their plain names with GetProcAddress.
#include <windows.h>

#include "runtime/internal.h"
#include "runtime/windows/errors.h"

namespace hydrix::rt::detail {

void *loadLibrary(const std::string &path, std::string *why) {
    // The DLLs it imports are looked for beside it first.
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) *why = systemErrorText(GetLastError());
    return reinterpret_cast<void *>(module);
}

void *findSymbol(void *handle, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void unloadLibrary(void *handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

}  // namespace hydrix::rt::detail
