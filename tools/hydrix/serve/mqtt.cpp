#include "mqtt.h"

#include <mosquitto.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <cstdio>

#include "output.h"
#include "query.h"
#include "times.h"

namespace hydrix::serve {
namespace {

constexpr size_t kInFlightMax = 100;  // outbox messages sent and not yet acknowledged

std::string itemTopic(const Item &item) {
    switch (item.query.what) {
    case cli::What::Picture: return "picture" + std::to_string(item.query.picture);
    case cli::What::Report: return "report";
    default: return "setpoint";
    }
}

std::string number(double v) {
    if (!std::isfinite(v)) return "null";
    return cli::valueText(cli::Value{v});
}

std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

extern "C" void connectCallback(mosquitto *, void *self, int rc) { static_cast<MqttPublisher *>(self)->onConnect(rc); }
extern "C" void disconnectCallback(mosquitto *, void *self, int rc) {
    static_cast<MqttPublisher *>(self)->onDisconnect(rc);
}
extern "C" void publishCallback(mosquitto *, void *self, int mid) { static_cast<MqttPublisher *>(self)->onPublish(mid); }

}  // namespace

MqttPublisher::MqttPublisher(const ServeConfig &serve, Outbox &outbox) : serve_(serve), outbox_(outbox) {}

MqttPublisher::~MqttPublisher() { stop(); }

std::string MqttPublisher::topic(uint32_t node, const std::string &rest) const {
    return serve_.mqttPrefix + "/" + std::to_string(node) + "/" + rest;
}

bool MqttPublisher::start(std::string *error) {
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    std::string id = serve_.mqttClientId;
    if (id.empty()) {
        char host[64] = "gateway";
        gethostname(host, sizeof host - 1);
        id = "hydrix-" + std::string(host);
    }
    mosq_ = mosquitto_new(id.c_str(), true, this);
    if (!mosq_) {
        *error = "MQTT: cannot make a client";
        return false;
    }
    mosquitto_connect_callback_set(mosq_, connectCallback);
    mosquitto_disconnect_callback_set(mosq_, disconnectCallback);
    mosquitto_publish_callback_set(mosq_, publishCallback);
    mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
    const std::string status = serve_.mqttPrefix + "/status";
    mosquitto_will_set(mosq_, status.c_str(), 7, "offline", 1, true);
    if (!serve_.mqttUser.empty())
        mosquitto_username_pw_set(mosq_, serve_.mqttUser.c_str(),
                                  serve_.mqttPassword.empty() ? nullptr : serve_.mqttPassword.c_str());
    if (!serve_.mqttCaFile.empty()) {
        const int rc = mosquitto_tls_set(mosq_, serve_.mqttCaFile.c_str(), nullptr,
                                         serve_.mqttCertFile.empty() ? nullptr : serve_.mqttCertFile.c_str(),
                                         serve_.mqttKeyFile.empty() ? nullptr : serve_.mqttKeyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = "MQTT: TLS files: " + std::string(mosquitto_strerror(rc));
            return false;
        }
    }
    std::string host;
    int port = 0;
    splitHostPort(serve_.mqtt, &host, &port);
    const int rc = mosquitto_connect_async(mosq_, host.c_str(), port, 30);
    if (rc != MOSQ_ERR_SUCCESS)
        logLine("MQTT: broker " + serve_.mqtt + " not reachable yet (" + mosquitto_strerror(rc) + "): trying again");
    if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
        *error = "MQTT: cannot start the client's thread";
        return false;
    }
    return true;
}

void MqttPublisher::stop() {
    if (!mosq_) return;
    // Outbox messages the broker has but whose acknowledgement is on its way would be
    // sent again at the next start: wait a little for them.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (connected_.load() && std::chrono::steady_clock::now() < limit) {
        {
            std::lock_guard lock(mutex_);
            if (inFlight_.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (connected_.load()) {
        const std::string status = serve_.mqttPrefix + "/status";
        mosquitto_publish(mosq_, nullptr, status.c_str(), 7, "offline", 1, true);
    }
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
}

void MqttPublisher::publish(const std::string &t, const std::string &payload, int qos, bool retain) {
    if (retain) {
        std::lock_guard lock(mutex_);
        retained_[t] = payload;
    }
    if (!connected_.load() || !mosq_) return;  // said again at the next connection
    mosquitto_publish(mosq_, nullptr, t.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain);
}

void MqttPublisher::changed(const Item &item, const std::vector<std::pair<long long, double>> &values, OrvelTime time) {
    const std::string when = cli::isoUtc(time);
    for (const auto &[index, value] : values)
        publish(topic(item.query.target.node, itemTopic(item) + "/" + std::to_string(index)),
                "{\"value\":" + number(value) + ",\"time\":\"" + when + "\",\"quality\":\"good\"}", 0, true);
}

void MqttPublisher::itemStatus(const Item &item, bool failing, const std::string &errorJson, OrvelTime since) {
    const std::string payload = failing ? "{\"quality\":\"failing\",\"error\":" + errorJson + ",\"since\":\"" +
                                              cli::isoUtc(since) + "\"}"
                                        : "{\"quality\":\"good\"}";
    publish(topic(item.query.target.node, itemTopic(item) + "/status"), payload, 0, true);
}

void MqttPublisher::lineStatus(int channel, bool online) {
    publish(serve_.mqttPrefix + "/channel/" + std::to_string(channel) + "/status", online ? "online" : "offline", 1,
            true);
}

void MqttPublisher::alarms(const StationTask &station, const cli::Records &records) {
    std::vector<OutMessage> messages;
    for (const cli::Record &r : records) {
        OutMessage m;
        m.topic = topic(station.node, "alarms");
        m.payload = "{\"channel\":" + std::to_string(station.channel) + ",\"node\":" + std::to_string(station.node) +
                    ",\"code\":" + std::to_string(r.index.value_or(0)) + ",\"state\":" +
                    quoted(cli::valueText(r.value)) + ",\"time\":\"" + cli::isoUtc(r.time) + "\"}";
        messages.push_back(std::move(m));
    }
    std::string error;
    std::optional<Outbox::LastAlarm> last;
    if (!records.empty()) last = Outbox::LastAlarm{station.channel, station.node, cli::alarmIdentity(records.back())};
    if (!outbox_.add(messages, std::nullopt, &error, last))
        logLine("outbox: " + std::to_string(messages.size()) + " alarm(s) of node " + std::to_string(station.node) +
                " NOT stored: " + error);
    flush();
}

void MqttPublisher::history(const StationTask &station, const cli::Records &records) {
    // One message per record: the values the station stamped with one time.
    std::vector<OutMessage> messages;
    OrvelTime last = 0;
    for (size_t i = 0; i < records.size();) {
        const OrvelTime t = records[i].time;
        std::string values;
        for (; i < records.size() && records[i].time == t; ++i) {
            const cli::Value &v = records[i].value;
            const double *d = std::get_if<double>(&v);
            const long long *l = std::get_if<long long>(&v);
            // Appended in steps: `"," + std::string` trips g++ 12's -Wrestrict at -O3.
            if (!values.empty()) values += ',';
            values += d ? number(*d) : l ? std::to_string(*l) : quoted(cli::valueText(v));
        }
        OutMessage m;
        m.topic = topic(station.node, "history");
        m.payload = "{\"channel\":" + std::to_string(station.channel) + ",\"node\":" + std::to_string(station.node) +
                    ",\"time\":\"" + cli::isoUtc(t) + "\",\"values\":[" + values + "]}";
        messages.push_back(std::move(m));
        last = std::max(last, t);
    }
    std::string error;
    if (!outbox_.add(messages, Outbox::Resume{station.channel, station.node, last}, &error))
        logLine("outbox: " + std::to_string(messages.size()) + " history record(s) of node " +
                std::to_string(station.node) + " NOT stored: " + error);
    flush();
}

void MqttPublisher::flush() {
    std::lock_guard lock(mutex_);
    if (!connected_.load() || !mosq_) return;
    while (inFlight_.size() < kInFlightMax) {
        const auto batch = outbox_.pending(sentUpTo_, kInFlightMax - inFlight_.size());
        if (batch.empty()) break;
        for (const OutMessage &m : batch) {
            int mid = 0;
            const int rc = mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                             m.payload.data(), 1, false);
            if (rc != MOSQ_ERR_SUCCESS) return;  // sent again after the next connection
            inFlight_[mid] = m.id;
            sentUpTo_ = m.id;
        }
    }
    if (inFlight_.empty() && acknowledged_ > 0) {
        logLine("outbox: empty, " + std::to_string(acknowledged_) + " message(s) acknowledged by the broker");
        acknowledged_ = 0;
    }
}

void MqttPublisher::onConnect(int rc) {
    if (rc != 0) {
        logLine("MQTT: broker " + serve_.mqtt + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    std::map<std::string, std::string> retained;
    {
        std::lock_guard lock(mutex_);
        connected_.store(true);
        retained = retained_;
        // What was in flight when the line dropped stays in flight: the library sends
        // its unacknowledged QoS 1 messages again, under the same ids, once connected.
    }
    logLine("MQTT: connected to " + serve_.mqtt + " (" + std::to_string(outbox_.count()) + " message(s) in the outbox)");
    const std::string status = serve_.mqttPrefix + "/status";
    mosquitto_publish(mosq_, nullptr, status.c_str(), 6, "online", 1, true);
    for (const auto &[t, payload] : retained)
        mosquitto_publish(mosq_, nullptr, t.c_str(), static_cast<int>(payload.size()), payload.data(),
                          t.find("/status") != std::string::npos ? 1 : 0, true);
    flush();
}

void MqttPublisher::onDisconnect(int rc) {
    const bool was = connected_.exchange(false);
    if (was && rc != 0) logLine("MQTT: connection to " + serve_.mqtt + " lost: reconnecting");
}

void MqttPublisher::onPublish(int mid) {
    int64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = inFlight_.find(mid);
        if (it == inFlight_.end()) return;  // a value or a status, not from the outbox
        id = it->second;
        inFlight_.erase(it);
        ++acknowledged_;
    }
    outbox_.remove(id);
    flush();
}

}  // namespace hydrix::serve
