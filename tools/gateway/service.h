// hydrix serve under systemd (Type=notify): tells the service manager it is ready,
// reloading or stopping, and feeds the watchdog. Outside systemd every call does nothing.
#pragma once
#include <chrono>
#include <string>

namespace hydrix::serve {

void notifyReady(const std::string &status);
void notifyReloading();
void notifyStopping();
// The watchdog's interval (WatchdogSec=), or zero when there is none.
std::chrono::microseconds watchdogInterval();
void feedWatchdog();

}  // namespace hydrix::serve
