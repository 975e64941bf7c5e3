// A real mosquitto broker on a free localhost port, started and stopped by the test, and
// an MQTT subscriber that keeps its session across broker restarts (the broker keeps it
// on disk), so that every message the broker accepted reaches it once.
#pragma once
#include <mosquitto.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace servetest {

class Broker {
public:
    Broker();  // picks the port and the directory; does not start
    ~Broker();
    // Before start(): TLS on the listener (a CA and a certificate for 127.0.0.1, made here
    // with openssl) and a password for `user`; anonymous clients are refused. False when
    // the files could not be made.
    bool secure(const std::string &user, const std::string &password);
    std::string caFile() const { return dir_ + "/ca.crt"; }
    bool start();  // waits until it takes connections
    void stop();   // SIGTERM: it saves its sessions and exits
    int port() const { return port_; }
    std::string log() const;  // what the broker said
    // PUBLISH packets the broker received on a topic, over all its runs (its own log):
    // what the gateway sent, whatever the broker then delivered to whom.
    size_t received(const std::string &topic) const;
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int port_ = 0;
    int pid_ = -1;
    std::string dir_;
};

struct Received {
    std::string topic, payload;
    bool retained = false;
};

class Subscriber {
public:
    Subscriber(int port, const std::string &filter);
    ~Subscriber();
    std::vector<Received> all();
    size_t count(const std::string &topicPart);
    bool subscribed() const { return subscribed_.load(); }
    void onConnect();
    void onSubscribe() { subscribed_.store(true); }
    void onMessage(const mosquitto_message *m);

private:
    mosquitto *mosq_ = nullptr;
    std::string filter_;
    std::atomic<bool> subscribed_{false};
    std::mutex mutex_;
    std::vector<Received> got_;
};

}  // namespace servetest
