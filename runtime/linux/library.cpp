// Linux: the driver library is loaded with dlopen (RTLD_NOW | RTLD_LOCAL).
#include <dlfcn.h>

#include "runtime/internal.h"

namespace hydrix::rt::detail {

void *loadLibrary(const std::string &path, std::string *why) {
    dlerror();
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *text = dlerror();
        *why = text ? text : "unknown error";
    }
    return handle;
}

void *findSymbol(void *handle, const char *name) {
    dlerror();
    return dlsym(handle, name);
}

void unloadLibrary(void *handle) { dlclose(handle); }

}  // namespace hydrix::rt::detail
