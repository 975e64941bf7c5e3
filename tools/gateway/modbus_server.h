// The Modbus TCP front end: one thread accepts, one thread per client answers it. Each
// request is read whole by its MBAP length (modbus_frame.h); a header no client sends
// closes the connection. Reads are answered from the store alone; a write waits for the
// station's answer, and only its own client waits. A client silent for the idle time is
// dropped; at the connection limit a new client drops the one idle longest.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "register_map.h"
#include "scheduler.h"

namespace hydrix::serve {

struct ModbusOptions {
    std::string address = "127.0.0.1";  // "*": every address
    int port = 1502;
    bool allowWrites = false;
    std::vector<std::string> writeClients;
    int maxClients = 64;
    double idleTimeout = 60;  // seconds; 0: never
};

class ModbusServer {
public:
    ModbusServer(const Store &store, Scheduler &scheduler);
    ~ModbusServer();
    // Listens; false with *error when the address cannot be had.
    bool start(const ModbusOptions &options, std::shared_ptr<const RegisterMap> map, std::string *error);
    // A new map and write permissions (the item list was reread).
    void update(std::shared_ptr<const RegisterMap> map, const ModbusOptions &options);
    size_t clients();  // connected now
    // Closes the listener and every client, and joins their threads.
    void stop();

private:
    void acceptLoop();
    struct Connection;
    void serveClient(std::shared_ptr<Connection> c);
    std::vector<uint8_t> answer(const std::vector<uint8_t> &frame, const std::string &peer);
    bool makeRoom();
    std::shared_ptr<const RegisterMap> map();
    bool mayWrite(const std::string &peer, std::string *why);

    const Store &store_;
    Scheduler &scheduler_;
    std::mutex mutex_;
    std::shared_ptr<const RegisterMap> map_;
    ModbusOptions options_;
    int listener_ = -1;
    int wakeup_[2] = {-1, -1};  // written by stop: the accept loop's way out
    std::thread acceptor_;
    std::vector<std::shared_ptr<Connection>> clients_;
    std::map<std::pair<int, int>, bool> coils_;  // (unit, coil) -> the state last written
    bool stopping_ = false;
};

}  // namespace hydrix::serve
