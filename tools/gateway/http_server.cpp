#include "http_server.h"

#include <httplib.h>

namespace hydrix::serve {

HttpServer::HttpServer() : server_(std::make_unique<httplib::Server>()) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(const std::string &address, int port, Metrics metrics, Health health, std::string *error) {
    server_->Get("/metrics", [metrics](const httplib::Request &, httplib::Response &res) {
        res.set_content(metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server_->Get("/healthz", [health](const httplib::Request &, httplib::Response &res) {
        std::string why;
        const bool ok = health(&why);
        res.status = ok ? 200 : 503;
        res.set_content(ok ? "ok\n" : why + "\n", "text/plain; charset=utf-8");
    });
    if (!server_->bind_to_port(address, port)) {
        *error = "HTTP: cannot listen on " + address + ":" + std::to_string(port);
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void HttpServer::stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
}

}  // namespace hydrix::serve
