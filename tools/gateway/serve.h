// hydrix serve: the gateway. Hosts the driver for as long as it runs, reads the
// [Serve] section's items at their intervals into the latest-value store, fetches alarms
// and history, and serves the store over Modbus TCP. SIGTERM or SIGINT stops it cleanly
// (exit 0), SIGHUP rereads the item list.
#pragma once
#include <string>

#include "config.h"
#include "host.h"
#include "output.h"

namespace hydrix::serve {

struct ServeOptions {
    std::string configPath;  // empty: the built-in profile and [Serve] section
    std::string modbus;      // --modbus ADDRESS:PORT ("off": none)
    std::string mqtt;        // --mqtt HOST:PORT
    bool printMap = false;
    cli::Format format = cli::Format::Table;
    cli::HostOptions host;
};

// Returns the exit code.
int serveCommand(const cli::Config &config, const ServeOptions &options);

}  // namespace hydrix::serve
