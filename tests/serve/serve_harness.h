// Runs `hydrix serve` as a separate process, as a site runs it, and talks to it over
// Modbus TCP with libmodbus: the gateway's log is watched for readiness, never waited
// for with a fixed sleep.
#pragma once
#include <modbus.h>

#include "common/process.h"

#include <functional>
#include <string>
#include <vector>

namespace servetest {

// A localhost TCP port nobody listens on now.
int freePort();

using ::TempFile;

// A fresh outbox path of this test's own; the database and its journal files go with it.
class TempOutbox {
public:
    TempOutbox();
    ~TempOutbox();
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

struct Outcome {
    int exitCode = -1;  // -1: had to be killed
    std::string out, err;
};
// hydrix with these arguments, to its end.
Outcome runHydrix(const std::vector<std::string> &args, int timeoutMs = 30000);

class Gateway {
public:
    // Starts hydrix with `args` ("serve" and its options among them).
    explicit Gateway(const std::vector<std::string> &args);
    // Waits until the log (stderr) holds `text`; false after timeoutMs.
    bool waitForLog(const std::string &text, int timeoutMs = 10000);
    std::string log() const { return process_.err(); }
    void signal(int sig) { process_.signal(sig); }
    // Waits for the end; kills it after timeoutMs. Returns the exit code (-1: killed).
    int wait(int timeoutMs) { return process_.wait(timeoutMs); }
    int pid() const { return process_.pid(); }

private:
    Process process_;
};

// A libmodbus client of the gateway on 127.0.0.1:port.
class Client {
public:
    explicit Client(int port, int unit);
    ~Client();
    modbus_t *ctx() { return ctx_; }
    void unit(int unit) { modbus_set_slave(ctx_, unit); }
    // Input registers; the libmodbus errno (EMBXGTAR ...) in *error on failure.
    bool read(int address, int count, std::vector<uint16_t> *out, int *error = nullptr);
    bool connected() const { return connected_; }

private:
    modbus_t *ctx_ = nullptr;
    bool connected_ = false;
};

// Checks `done` every 20 ms until it holds or timeoutMs have passed.
inline bool waitUntil(int timeoutMs, const std::function<bool()> &done) { return eventually(done, timeoutMs, 20); }

// One entry of `hydrix serve --print-map --json`.
struct MapEntry {
    int unit = 0, node = 0, address = 0, registers = 0;
    std::string item, meaning;
};
std::vector<MapEntry> printedMap(const std::vector<std::string> &configArgs);

}  // namespace servetest
