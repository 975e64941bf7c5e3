// Loads the driver library (libhydrix.so) at run time and resolves its eleven entry
// points. The host services it imports must already be in the process: link the
// runtime library into the program (or load it with RTLD_GLOBAL) before opening.
#pragma once
#include <string>

#include "host/hydrix_host.h"
#include "runtime/runtime.h"

namespace hydrix::rt {

class HYDRIX_RT_API DriverLibrary {
public:
    DriverLibrary() = default;
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary &) = delete;
    DriverLibrary &operator=(const DriverLibrary &) = delete;
    DriverLibrary(DriverLibrary &&other) noexcept;
    DriverLibrary &operator=(DriverLibrary &&other) noexcept;

    // Loads the library (dlopen RTLD_NOW | RTLD_LOCAL; LoadLibrary on Windows) and resolves every entry point. On failure
    // nothing stays loaded and *error says what was wrong: the loader's message for a file
    // that cannot be loaded, or the name of the missing entry point.
    bool open(const std::string &path, std::string *error);
    // Unloads the library; the entry points become null.
    void close();
    bool isOpen() const { return handle_ != nullptr; }
    const std::string &path() const { return path_; }

    drvInstall_fn drvInstall = nullptr;
    drvVoid_fn drvUnInstall = nullptr;
    drvVoid_fn drvStart = nullptr;
    drvVoid_fn drvStop = nullptr;
    drvVoid_fn drvQueryState = nullptr;
    drvVoid_fn drvHndlTimer = nullptr;
    drvAddChan_fn drvAddChan = nullptr;
    drvInitComm_fn drvInitComm = nullptr;
    preEvent_fn preEvent = nullptr;
    drvChannel_fn postEvent = nullptr;
    drvChannel_fn canDisconnect = nullptr;

private:
    void clearEntryPoints();
    void *handle_ = nullptr;
    std::string path_;
};

}  // namespace hydrix::rt
