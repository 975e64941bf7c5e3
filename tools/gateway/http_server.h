// The gateway's HTTP endpoint (Http=ADDRESS:PORT, off by default), for monitoring only:
//   GET /metrics   the Prometheus text format (metrics.h)
//   GET /healthz   200 "ok" while every line was served within its limit, else 503 with
//                  the reason
// Nothing here writes to a station.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace hydrix::serve {

class HttpServer {
public:
    using Metrics = std::function<std::string()>;
    using Health = std::function<bool(std::string *why)>;
    HttpServer();
    ~HttpServer();
    // Listens on ADDRESS:PORT; false with *error when it cannot.
    bool start(const std::string &address, int port, Metrics metrics, Health health, std::string *error);
    void stop();

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
};

}  // namespace hydrix::serve
