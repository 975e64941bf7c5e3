// Windows: the driver library is loaded with LoadLibrary, its entry points found by
// their plain names with GetProcAddress.
#include <windows.h>

#include "runtime/internal.h"
#include "runtime/windows/errors.h"

namespace hydrix::rt::detail {

void *loadLibrary(const std::string &path, std::string *why) {
    // Given with a folder, it is loaded by its full path and the DLLs it imports are
    // looked for beside it first; a bare name is searched for as usual (the program's
    // folder first).
    HMODULE module = nullptr;
    char full[MAX_PATH * 4];
    if (path.find_first_of("\\/:") != std::string::npos &&
        GetFullPathNameA(path.c_str(), sizeof full, full, nullptr) - 1 < sizeof full - 1)
        module = LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    else
        module = LoadLibraryExA(path.c_str(), nullptr, 0);
    if (module == nullptr) *why = systemErrorText(GetLastError());
    return reinterpret_cast<void *>(module);
}

void *findSymbol(void *handle, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void unloadLibrary(void *handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

}  // namespace hydrix::rt::detail
