#include "mqtt_client.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "scheduler.h"

namespace hydrix::serve {
namespace {

extern "C" void connectCallback(mosquitto *, void *self, int rc) { static_cast<MqttClient *>(self)->onConnect(rc); }
extern "C" void disconnectCallback(mosquitto *, void *self, int rc) {
    static_cast<MqttClient *>(self)->onDisconnect(rc);
}
extern "C" void publishCallback(mosquitto *, void *self, int mid) { static_cast<MqttClient *>(self)->published(mid); }
extern "C" void messageCallback(mosquitto *, void *self, const mosquitto_message *m) {
    if (!m->topic) return;
    const std::string payload(static_cast<const char *>(m->payload), static_cast<size_t>(std::max(m->payloadlen, 0)));
    static_cast<MqttClient *>(self)->message(m->topic, payload);
}

}  // namespace

MqttClient::MqttClient(const ServeConfig &serve, std::string clientId, std::string label)
    : serve_(serve), clientId_(std::move(clientId)), label_(std::move(label)) {}

MqttClient::~MqttClient() {
    // The subclass has stopped the thread (its hooks are gone by now).
    if (mosq_) mosquitto_destroy(mosq_);
}

bool MqttClient::startClient(std::string *error) {
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    mosq_ = mosquitto_new(clientId_.c_str(), true, this);
    if (!mosq_) {
        *error = label_ + ": cannot make a client";
        return false;
    }
    if (!configure(error)) return false;
    thread_ = std::thread([this] { loop(); });
    return true;
}

bool MqttClient::freshSession() {
    std::string error;
    if (mosquitto_reinitialise(mosq_, clientId_.c_str(), true, this) == MOSQ_ERR_SUCCESS && configure(&error))
        return true;
    logLine(label_ + ": cannot make the client afresh" + (error.empty() ? "" : ": " + error));
    return false;
}

void MqttClient::unboundedInFlight() { mosquitto_max_inflight_messages_set(mosq_, 0); }

bool MqttClient::configure(std::string *error) {
    mosquitto_threaded_set(mosq_, true);
    mosquitto_connect_callback_set(mosq_, connectCallback);
    mosquitto_disconnect_callback_set(mosq_, disconnectCallback);
    mosquitto_publish_callback_set(mosq_, publishCallback);
    mosquitto_message_callback_set(mosq_, messageCallback);
    if (!serve_.mqttUser.empty())
        mosquitto_username_pw_set(mosq_, serve_.mqttUser.c_str(),
                                  serve_.mqttPassword.empty() ? nullptr : serve_.mqttPassword.c_str());
    if (!serve_.mqttCaFile.empty()) {
        const int rc = mosquitto_tls_set(mosq_, serve_.mqttCaFile.c_str(), nullptr,
                                         serve_.mqttCertFile.empty() ? nullptr : serve_.mqttCertFile.c_str(),
                                         serve_.mqttKeyFile.empty() ? nullptr : serve_.mqttKeyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = label_ + ": TLS files: " + std::string(mosquitto_strerror(rc));
            return false;
        }
    }
    return true;
}

void MqttClient::loop() {
    std::string host;
    int port = 0;
    splitHostPort(serve_.mqtt, &host, &port);
    const auto pause = [this](double seconds) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!stopping_.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    double delay = 1;
    bool said = false;
    while (!stopping_.load()) {
        connected_.store(false);  // (a connection the library ended without a word)
        beforeConnect();
        int rc = mosquitto_connect_async(mosq_, host.c_str(), port, 30);
        while (rc == MOSQ_ERR_SUCCESS && !stopping_.load()) {
            rc = mosquitto_loop(mosq_, 100, 1);
            if (connected_.load()) tick();
        }
        if (stopping_.load()) break;
        if (connectedAt_ == std::chrono::steady_clock::time_point{}) {
            // Never got as far as a connection this time.
            if (!said)
                logLine(label_ + ": broker " + serve_.mqtt + " not reachable yet (" +
                        (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc)) +
                        "): trying again");
            said = true;
            pause(delay);
            delay = std::min(delay * 2, 30.0);
            continue;
        }
        said = false;
        const bool brief = std::chrono::steady_clock::now() - connectedAt_ < std::chrono::seconds(10);
        connectedAt_ = {};
        shortConnections_ = brief ? shortConnections_ + 1 : 0;
        if (shortConnections_ == 2)
            logLine(label_ +
                    ": the broker closed the connection right after taking it, twice in a row: another client "
                    "may use the client id '" +
                    clientId_ + "' (give each gateway its own MqttClientId)");
        delay = brief ? std::min(delay * 2, 30.0) : 1;
        pause(delay);
    }
}

void MqttClient::stopClient() {
    if (!mosq_) return;
    if (connected_.load()) {
        const int rc = mosquitto_disconnect(mosq_);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (connected_.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        logLine(label_ + ": DEBUG disconnect rc " + std::to_string(rc) + " connected " +
                std::to_string(connected_.load()));
    } else {
        logLine(label_ + ": DEBUG not connected at stop");
    }
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

bool MqttClient::send(const std::string &topic, const std::string &payload, int qos, bool retain, int *mid) {
    if (!connected_.load() || !mosq_) return false;
    return mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                             retain) == MOSQ_ERR_SUCCESS;
}

void MqttClient::setWill(const std::string &topic, const std::string &payload, int qos, bool retain) {
    mosquitto_will_set(mosq_, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain);
}

void MqttClient::subscribe(const std::string &filter) {
    if (mosq_) mosquitto_subscribe(mosq_, nullptr, filter.c_str(), 1);
}

void MqttClient::waitWhileConnected(const std::function<bool()> &done, std::chrono::milliseconds limit) const {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (connected_.load() && !done() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void MqttClient::onConnect(int rc) {
    if (rc != 0) {
        logLine(label_ + ": broker " + serve_.mqtt + " refused the connection: " + mosquitto_connack_string(rc));
        mosquitto_disconnect(mosq_);  // tried again after the pause
        return;
    }
    connected_.store(true);
    connectedAt_ = std::chrono::steady_clock::now();
    connectedNow();
}

void MqttClient::onDisconnect(int rc) {
    const bool was = connected_.exchange(false);
    if (was && rc != 0) logLine(label_ + ": connection to " + serve_.mqtt + " lost: reconnecting");
    disconnectedNow();
}

}  // namespace hydrix::serve
