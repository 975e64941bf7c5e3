// One connection to the MQTT broker (libmosquitto), kept up for as long as the gateway
// runs: the client connects whenever the broker is there, however long it was away; after
// a failed attempt or a lost connection it waits (1 s, doubling up to 30 s while attempts
// fail or connections end at once) and tries again. The MQTT publisher and the Sparkplug
// edge node each have one (each has its own last will); they say what happens on a
// connection through the hooks, which run on the client's thread.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "serve_config.h"

struct mosquitto;

namespace hydrix::serve {

class MqttClient {
public:
    // `label` starts the client's log lines ("MQTT", "Sparkplug").
    MqttClient(const ServeConfig &serve, std::string clientId, std::string label);
    virtual ~MqttClient();
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;
    bool connected() const { return connected_.load(); }

    // libmosquitto's callbacks.
    void onConnect(int rc);
    void onDisconnect(int rc);

    // Hooks (the client's thread).
    virtual void beforeConnect() {}   // before every attempt: the will, say
    virtual void connectedNow() = 0;  // the broker took the connection
    virtual void disconnectedNow() {}
    virtual void published(int /*mid*/) {}
    virtual void message(const std::string & /*topic*/, const std::string & /*payload*/) {}
    virtual void tick() {}  // on every pass of the loop while connected (at least every 100 ms)

protected:
    // Makes the client (credentials, TLS) and starts its thread. False with *error for
    // settings the library refuses (TLS files ...).
    bool startClient(std::string *error);
    // Disconnects (waiting up to 2 s for the broker to see it) and joins the thread.
    void stopClient();
    bool stopping() const { return stopping_.load(); }
    // A new session on the next connection: what the library still held of the last one
    // (messages it would send again) is dropped. Only between connections (beforeConnect).
    bool freshSession();
    // QoS 1 messages go out at once however many wait for their acknowledgement (the
    // library otherwise holds back those beyond 20).
    void unboundedInFlight();
    // Sends when connected; false when not (or the library refused it).
    bool send(const std::string &topic, const std::string &payload, int qos, bool retain, int *mid = nullptr);
    void setWill(const std::string &topic, const std::string &payload, int qos, bool retain);
    void subscribe(const std::string &filter);
    // Waits, while connected and at most `limit`, until `done` says so (polled).
    void waitWhileConnected(const std::function<bool()> &done, std::chrono::milliseconds limit) const;
    const std::string &clientId() const { return clientId_; }

    const ServeConfig serve_;
    mosquitto *mosq_ = nullptr;

private:
    bool configure(std::string *error);  // callbacks, credentials, TLS
    void loop();
    std::string clientId_, label_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    // Connections the broker closed soon after it took them, in a row: another client
    // with the same id takes the connection over each time.
    int shortConnections_ = 0;
    std::chrono::steady_clock::time_point connectedAt_{};
};

}  // namespace hydrix::serve
