#include "runtime/driver_library.h"

#include "runtime/internal.h"

#include <utility>

namespace hydrix::rt {

DriverLibrary::~DriverLibrary() { close(); }

DriverLibrary::DriverLibrary(DriverLibrary &&other) noexcept { *this = std::move(other); }

DriverLibrary &DriverLibrary::operator=(DriverLibrary &&other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
        drvInstall = other.drvInstall;
        drvUnInstall = other.drvUnInstall;
        drvStart = other.drvStart;
        drvStop = other.drvStop;
        drvQueryState = other.drvQueryState;
        drvHndlTimer = other.drvHndlTimer;
        drvAddChan = other.drvAddChan;
        drvInitComm = other.drvInitComm;
        preEvent = other.preEvent;
        postEvent = other.postEvent;
        canDisconnect = other.canDisconnect;
        other.clearEntryPoints();
    }
    return *this;
}

void DriverLibrary::clearEntryPoints() {
    drvInstall = nullptr;
    drvUnInstall = drvStart = drvStop = drvQueryState = drvHndlTimer = nullptr;
    drvAddChan = nullptr;
    drvInitComm = nullptr;
    preEvent = nullptr;
    postEvent = canDisconnect = nullptr;
}

void DriverLibrary::close() {
    clearEntryPoints();
    if (handle_) detail::unloadLibrary(handle_);
    handle_ = nullptr;
    path_.clear();
}

namespace {

template <typename Fn>
bool resolve(void *handle, const char *name, Fn *out, const std::string &path, std::string *error) {
    void *symbol = detail::findSymbol(handle, name);
    if (!symbol) {
        if (error) *error = path + ": entry point " + name + " is missing";
        return false;
    }
    *out = reinterpret_cast<Fn>(symbol);
    return true;
}

}  // namespace

bool DriverLibrary::open(const std::string &path, std::string *error) {
    close();
    std::string why;
    void *handle = detail::loadLibrary(path, &why);
    if (!handle) {
        if (error) *error = "cannot load the driver library " + path + ": " + why;
        return false;
    }
    handle_ = handle;
    path_ = path;
    bool ok =
        resolve(handle, "drvInstall", &drvInstall, path, error) &&
        resolve(handle, "drvUnInstall", &drvUnInstall, path, error) &&
        resolve(handle, "drvStart", &drvStart, path, error) && resolve(handle, "drvStop", &drvStop, path, error) &&
        resolve(handle, "drvQueryState", &drvQueryState, path, error) &&
        resolve(handle, "drvHndlTimer", &drvHndlTimer, path, error) &&
        resolve(handle, "drvAddChan", &drvAddChan, path, error) &&
        resolve(handle, "drvInitComm", &drvInitComm, path, error) &&
        resolve(handle, "preEvent", &preEvent, path, error) && resolve(handle, "postEvent", &postEvent, path, error) &&
        resolve(handle, "canDisconnect", &canDisconnect, path, error);
    if (!ok) close();
    return ok;
}

}  // namespace hydrix::rt
