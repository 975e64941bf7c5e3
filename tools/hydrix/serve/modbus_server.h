// The Modbus TCP front end (libmodbus): one thread accepts, one thread per client
// answers it. Reads are answered from the store alone; a write waits for the station's
// answer, and only its own client waits.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
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
};

class ModbusServer {
public:
    ModbusServer(const Store &store, Scheduler &scheduler);
    ~ModbusServer();
    // Listens; false with *error when the address cannot be had.
    bool start(const ModbusOptions &options, std::shared_ptr<const RegisterMap> map, std::string *error);
    // A new map and write permissions (the item list was reread).
    void update(std::shared_ptr<const RegisterMap> map, const ModbusOptions &options);
    // Closes the listener and every client, and joins their threads.
    void stop();

private:
    void acceptLoop();
    void serveClient(int fd, std::string peer);
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
    std::set<int> clients_;
    struct Client {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Client> threads_;
    bool stopping_ = false;
};

}  // namespace hydrix::serve
