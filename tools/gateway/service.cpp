#include "service.h"

#include <systemd/sd-daemon.h>

namespace hydrix::serve {

void notifyReady(const std::string &status) { sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str()); }

void notifyReloading() { sd_notify(0, "RELOADING=1"); }

void notifyStopping() { sd_notify(0, "STOPPING=1"); }

std::chrono::microseconds watchdogInterval() {
    uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? std::chrono::microseconds(usec) : std::chrono::microseconds(0);
}

void feedWatchdog() { sd_notify(0, "WATCHDOG=1"); }

}  // namespace hydrix::serve
