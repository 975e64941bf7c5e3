#include "mqtt.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <cstdio>
#include <cstring>

#include "ha_discovery.h"
#include "output.h"
#include "query.h"
#include "times.h"

namespace hydrix::serve {
namespace {

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

const char *qualityName(Quality q) {
    switch (q) {
    case Quality::Good:
        return "good";
    case Quality::Failing:
        return "failing";
    case Quality::Stale:
        return "stale";
    default:
        return "never read";
    }
}

// A message an earlier run handed to the broker without seeing its acknowledgement may
// have reached it: sent again with "dup":true in the payload. The MQTT DUP flag cannot
// say it: it is set per hop (the client library sets it on its own resends within one
// connection) and a broker does not pass it on to subscribers.
std::string markedCopy(const std::string &payload) {
    if (payload.empty() || payload.back() != '}') return payload;
    return payload.substr(0, payload.size() - 1) + ",\"dup\":true}";
}

}  // namespace

std::string itemTopic(const Item &item) {
    switch (item.query.what) {
    case cli::What::Picture:
        return "picture" + std::to_string(item.query.picture);
    case cli::What::Report:
        return "report";
    default:
        return "setpoint";
    }
}

std::string stationId(int channel, uint32_t node, const std::set<uint32_t> &sharedNodes) {
    return sharedNodes.count(node) ? std::to_string(channel) + "-" + std::to_string(node) : std::to_string(node);
}

MqttPublisher::MqttPublisher(const ServeConfig &serve, Outbox &outbox, std::string clientId,
                             std::set<uint32_t> sharedNodes)
    : MqttClient(serve, serve.mqttClientId.empty() ? std::move(clientId) : serve.mqttClientId, "MQTT"),
      outbox_(outbox),
      sharedNodes_(std::move(sharedNodes)),
      sender_(outbox, Sink::Mqtt) {}

MqttPublisher::~MqttPublisher() { stop(); }

std::string MqttPublisher::topic(int channel, uint32_t node, const std::string &rest) const {
    return serve_.mqttPrefix + "/" + stationId(channel, node, sharedNodes_) + "/" + rest;
}

std::string MqttPublisher::itemBase(const Item &item) const {
    return topic(item.query.target.channel, item.query.target.node, itemTopic(item));
}

bool MqttPublisher::start(std::string *error) {
    // Sent at every connection (retained), clearing ones included.
    if (serve_.haDiscovery) {
        const DiscoveryTopics topics{serve_.mqttPrefix, [this](const Item &i) { return itemBase(i); },
                                     [this](int c, uint32_t n) {
                                         std::string base = topic(c, n, "");
                                         base.pop_back();  // the "/" before the empty rest
                                         return base;
                                     }};
        discovery_ = haDiscovery(serve_, topics);
    }
    return startClient(error);
}

void MqttPublisher::beforeConnect() { setWill(serve_.mqttPrefix + "/status", "offline", 1, true); }

// With RepublishEvery, every value is published again at that interval while connected.
void MqttPublisher::tick() {
    if (serve_.republishEvery <= 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < republishDue_) return;
    republishDue_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(serve_.republishEvery));
    republish();
}

void MqttPublisher::stop() {
    if (!mosq_) return;
    // Outbox messages the broker has but whose acknowledgement is on its way would be
    // sent again at the next start: wait a little for them.
    waitWhileConnected(
        [this] {
            std::lock_guard lock(mutex_);
            return sender_.idle();
        },
        std::chrono::seconds(3));
    send(serve_.mqttPrefix + "/status", "offline", 1, true);
    stopClient();
}

void MqttPublisher::publish(const std::string &t, const std::string &payload, int qos, bool retain) {
    if (retain) {
        std::lock_guard lock(mutex_);
        if (payload.empty())
            retained_.erase(t);
        else
            retained_[t] = payload;
    }
    send(t, payload, qos, retain);  // when not connected: said again at the next connection
}

void MqttPublisher::publishValues(const Item &item, const std::vector<std::pair<long long, double>> &values) {
    const std::string base = itemBase(item);
    OrvelTime time = 0;
    Quality quality = Quality::Good;
    {
        std::lock_guard lock(mutex_);
        time = items_[item.name].goodTime;
        quality = items_[item.name].quality;
    }
    const std::string tail = ",\"time\":\"" + cli::isoUtc(time) + "\",\"quality\":\"" + qualityName(quality) + "\"}";
    for (const auto &[index, value] : values) {
        // A tagged value: its name and unit, and the station's number times its scale.
        const Tag *tag = serve_.tagOf(item.name, index);
        const std::string named = tag ? ",\"name\":" + quoted(tag->name) + ",\"unit\":" + quoted(tag->unit) : "";
        publish(base + "/" + std::to_string(index),
                "{\"value\":" + number(tag ? value * tag->scale : value) + named + tail, 0, true);
    }
}

void MqttPublisher::republish() {
    std::vector<std::pair<Item, std::vector<std::pair<long long, double>>>> all;
    {
        std::lock_guard lock(mutex_);
        for (const auto &[name, v] : items_)
            if (!v.values.empty()) all.push_back({v.item, {v.values.begin(), v.values.end()}});
    }
    for (const auto &[item, values] : all) publishValues(item, values);
}

void MqttPublisher::changed(const Item &item, const std::vector<std::pair<long long, double>> &values, OrvelTime time) {
    {
        std::lock_guard lock(mutex_);
        items_[item.name].read(item, values, time);
    }
    publishValues(item, values);
}

void MqttPublisher::itemStatus(const Item &item, Quality quality, const std::string &errorJson, OrvelTime since,
                               OrvelTime lastGood) {
    std::vector<std::pair<long long, double>> values;
    {
        std::lock_guard lock(mutex_);
        HeldItem &held = items_[item.name];
        held.status(item, quality, lastGood);
        values.assign(held.values.begin(), held.values.end());
    }
    // The values themselves say it too: a client that reads only them sees the change.
    publishValues(item, values);
    if (quality == Quality::Stale) return;
    const std::string payload = quality == Quality::Failing ? "{\"quality\":\"failing\",\"error\":" + errorJson +
                                                                  ",\"since\":\"" + cli::isoUtc(since) + "\"}"
                                                            : "{\"quality\":\"good\"}";
    publish(itemBase(item) + "/status", payload, 0, true);
}

void MqttPublisher::dropped(const std::vector<Item> &gone, const std::vector<Item> &kept) {
    std::set<std::string> keep;
    for (const Item &item : kept) {
        keep.insert(itemBase(item) + "/status");
        for (int i = item.first; i < item.first + item.count; ++i)
            keep.insert(itemBase(item) + "/" + std::to_string(i));
    }
    for (const Item &item : gone) {
        {
            std::lock_guard lock(mutex_);
            items_.erase(item.name);
        }
        std::vector<std::string> topics{itemBase(item) + "/status"};
        for (int i = item.first; i < item.first + item.count; ++i)
            topics.push_back(itemBase(item) + "/" + std::to_string(i));
        for (const std::string &t : topics) {
            bool held = false;
            {
                std::lock_guard lock(mutex_);
                held = retained_.count(t) > 0;
            }
            // An empty retained message removes the broker's retained one.
            if (held && !keep.count(t)) publish(t, "", 0, true);
        }
    }
}

void MqttPublisher::lineStatus(int channel, bool online) {
    publish(serve_.mqttPrefix + "/channel/" + std::to_string(channel) + "/status", online ? "online" : "offline", 1,
            true);
}

void MqttPublisher::outboxFault(const std::string &why) {
    const std::string state = why.empty() ? "ok" : "{\"fault\":" + quoted(why) + "}";
    bool wasFault = false;
    {
        std::lock_guard lock(mutex_);
        if (state == outboxState_) return;
        wasFault = outboxState_.size() > 2;  // neither unsaid nor "ok"
        outboxState_ = state;
    }
    if (!why.empty())
        logLine("outbox: FAULT: " + why);
    else if (wasFault)
        logLine("outbox: stores again");
    publish(serve_.mqttPrefix + "/outbox", state, 1, true);
}

bool MqttPublisher::storable(std::string *why) {
    const bool ok = outbox_.writable(why);
    outboxFault(ok ? "" : *why);
    return ok;
}

bool MqttPublisher::alarms(const StationTask &station, const cli::Records &records) {
    std::vector<OutMessage> messages;
    for (const cli::Record &r : records) {
        OutMessage m;
        m.topic = topic(station.channel, station.node, "alarms");
        m.payload = "{\"channel\":" + std::to_string(station.channel) + ",\"node\":" + std::to_string(station.node) +
                    ",\"code\":" + std::to_string(r.index.value_or(0)) +
                    ",\"state\":" + quoted(cli::valueText(r.value)) + ",\"time\":\"" + cli::isoUtc(r.time) + "\"";
        const std::string text = serve_.alarmText(station.channel, station.node, r.index.value_or(0));
        if (!text.empty()) m.payload += ",\"text\":" + quoted(text);
        m.payload += "}";
        messages.push_back(std::move(m));
    }
    std::optional<Outbox::LastAlarm> last;
    if (!records.empty()) last = Outbox::LastAlarm{station.channel, station.node, cli::alarmIdentity(records.back())};
    if (peer_) {
        auto more = peer_->alarmMessages(station, records);
        messages.insert(messages.end(), more.begin(), more.end());
    }
    return store(
        std::move(messages), std::nullopt, last,
        std::to_string(records.size()) + " alarm(s) of node " + std::to_string(station.node) + " NOT stored: ");
}

bool MqttPublisher::history(const StationTask &station, const cli::Records &records) {
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
        m.topic = topic(station.channel, station.node, "history");
        m.payload = "{\"channel\":" + std::to_string(station.channel) + ",\"node\":" + std::to_string(station.node) +
                    ",\"time\":\"" + cli::isoUtc(t) + "\",\"values\":[" + values + "]}";
        messages.push_back(std::move(m));
        last = std::max(last, t);
    }
    const std::string what = std::to_string(messages.size()) + " history record(s) of node " +
                             std::to_string(station.node) + " NOT stored (fetched again later): ";
    if (peer_) {
        auto more = peer_->historyMessages(station, records);
        messages.insert(messages.end(), more.begin(), more.end());
    }
    return store(std::move(messages), Outbox::Resume{station.channel, station.node, last}, std::nullopt, what);
}

bool MqttPublisher::store(std::vector<OutMessage> messages, const std::optional<Outbox::Resume> &resume,
                          const std::optional<Outbox::LastAlarm> &last, const std::string &what) {
    std::string error;
    if (!outbox_.add(messages, resume, &error, last)) {
        outboxFault(what + error);
        return false;
    }
    outboxFault("");
    flush();
    if (peer_) peer_->flush();
    return true;
}

void MqttPublisher::flush() {
    std::lock_guard lock(mutex_);
    if (!connected()) return;
    sender_.fill([this](const OutMessage &m, int *mid) {
        return send(m.topic, m.sentBefore ? markedCopy(m.payload) : m.payload, 1, false, mid);
    });
    if (sender_.idle() && acknowledged_ > 0) {
        logLine("outbox: empty, " + std::to_string(acknowledged_) + " message(s) acknowledged by the broker");
        acknowledged_ = 0;
    }
}

void MqttPublisher::listen(const std::string &filter, Handler handler) {
    std::lock_guard lock(mutex_);
    listeners_.push_back({filter, std::move(handler)});
    if (connected()) subscribe(filter);
}

void MqttPublisher::publishResult(const std::string &topic, const std::string &payload) {
    send(topic, payload, 1, false);
}

void MqttPublisher::message(const std::string &topic, const std::string &payload) {
    std::vector<Handler> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const auto &[filter, handler] : listeners_) {
            bool matches = false;
            mosquitto_topic_matches_sub(filter.c_str(), topic.c_str(), &matches);
            if (matches) handlers.push_back(handler);
        }
    }
    for (const Handler &h : handlers) h(topic, payload);
}

void MqttPublisher::connectedNow() {
    std::map<std::string, std::string> retained;
    {
        std::lock_guard lock(mutex_);
        retained = retained_;
        // What was in flight when the line dropped stays in flight: the library sends
        // its unacknowledged QoS 1 messages again, under the same ids, once connected.
        for (const auto &[filter, handler] : listeners_) subscribe(filter);
    }
    republishDue_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                           std::chrono::duration<double>(serve_.republishEvery));
    logLine("MQTT: connected to " + serve_.mqtt + " (" + std::to_string(outbox_.count()) +
            " message(s) in the outbox)");
    send(serve_.mqttPrefix + "/status", "online", 1, true);
    for (const auto &[t, payload] : retained) send(t, payload, t.find("/status") != std::string::npos ? 1 : 0, true);
    for (const auto &[t, payload] : discovery_) send(t, payload, 1, true);
    flush();
}

void MqttPublisher::published(int mid) {
    std::optional<int64_t> id;
    {
        std::lock_guard lock(mutex_);
        id = sender_.acknowledged(mid);  // none: a value or a status
        if (id) ++acknowledged_;
    }
    if (!id) return;
    outbox_.remove(*id);
    flush();
}

}  // namespace hydrix::serve
