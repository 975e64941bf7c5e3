// The MQTT publisher (libmosquitto). Topics under the prefix (default "hydrix"):
//   <prefix>/status                          "online", or "offline" (also the last will)
//   <prefix>/channel/<n>/status              "online" or "offline": how the last request
//                                            on the channel's line ended
//   <prefix>/outbox                          "ok", or {"fault":".."} when alarms or history
//                                            cannot be stored (retained)
//   <prefix>/<station>/<item>/<index>        {"value":..,"time":"..Z","quality":".."},
//                                            retained, on every change and whenever the
//                                            item's quality changes (good, failing, stale);
//                                            time: the last good read (item: picture1,
//                                            report, setpoint)
//   <prefix>/<station>/<item>/status         {"quality":"failing","error":{..},"since":".."}
//                                            retained, when reads start or stop failing
//   <prefix>/<station>/alarms, .../history   one QoS 1 message per alarm or history
//                                            record, not retained, from the outbox
//   <prefix>/<station>/setpoint/<n>/set, .../command/<machine>/set: commands, with
//                                            AllowWrites=1 only (mqtt_commands.h)
// <station> is the node number, or CHANNEL-NODE for a node number that is on more than
// one channel of the profile (1-7): two stations never share a topic.
// At every connection (mqtt_client.h) it says "online" again and publishes every value it
// holds (a broker that restarted has lost its retained ones), then whatever waits in the
// outbox. Alarms and history of other front ends (OutboxPeer) are stored with its own, in
// one transaction.
#pragma once
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "mqtt_client.h"
#include "outbox.h"
#include "outbox_sender.h"
#include "scheduler.h"
#include "serve_config.h"

namespace hydrix::serve {

// A station's name in topics and device ids: the node number, or CHANNEL-NODE for a node
// number on more than one channel.
std::string stationId(int channel, uint32_t node, const std::set<uint32_t> &sharedNodes);
// An item's name in topics and metric names: "picture<n>", "report" or "setpoint".
std::string itemTopic(const Item &item);

// An item's values as a front end holds them to publish: those of its good reads, the
// time of the last one, and its quality.
struct HeldItem {
    Item item;
    std::map<long long, double> values;
    OrvelTime goodTime = 0;
    Quality quality = Quality::NeverRead;
    // A good read brought these (changed) values.
    void read(const Item &i, const std::vector<std::pair<long long, double>> &changed, OrvelTime time) {
        item = i;
        for (const auto &[index, value] : changed) values[index] = value;
        goodTime = time;
        quality = Quality::Good;
    }
    // Its quality changed; lastGood: the time of its last good read.
    void status(const Item &i, Quality q, OrvelTime lastGood) {
        item = i;
        quality = q;
        goodTime = lastGood;
    }
};

// Another front end that takes alarms and history through the outbox (the Sparkplug edge
// node): its messages for the records, stored with the publisher's own, and its turn to
// send them.
class OutboxPeer {
public:
    virtual ~OutboxPeer() = default;
    virtual std::vector<OutMessage> alarmMessages(const StationTask &station, const cli::Records &records) = 0;
    virtual std::vector<OutMessage> historyMessages(const StationTask &station, const cli::Records &records) = 0;
    virtual void flush() = 0;
};

class MqttPublisher : public MqttClient {
public:
    // `clientId`: used when the section names none. `sharedNodes`: node numbers that are
    // on more than one channel.
    MqttPublisher(const ServeConfig &serve, Outbox &outbox, std::string clientId, std::set<uint32_t> sharedNodes);
    ~MqttPublisher() override;
    void addPeer(OutboxPeer *peer) { peer_ = peer; }  // before start()
    // Starts the client's thread and the first connection attempt (a broker that is not
    // there yet is tried again and again). False with *error for settings the library
    // refuses (TLS files ...).
    bool start(std::string *error);
    // Says "offline", disconnects and joins the client's thread.
    void stop();
    // Messages on a topic filter go to `handler` (on the client's thread: it must not
    // wait); subscribed at every connection.
    using Handler = std::function<void(const std::string &topic, const std::string &payload)>;
    void listen(const std::string &filter, Handler handler);
    // A QoS 1 message, not retained (a command's result).
    void publishResult(const std::string &topic, const std::string &payload);
    void message(const std::string &topic, const std::string &payload) override;

    // From the poller (its thread).
    void changed(const Item &item, const std::vector<std::pair<long long, double>> &values, OrvelTime time);
    void itemStatus(const Item &item, Quality quality, const std::string &errorJson, OrvelTime since,
                    OrvelTime lastGood);
    void lineStatus(int channel, bool online);
    // False when the outbox did not take them (said on stderr and the outbox topic).
    bool alarms(const StationTask &station, const cli::Records &records);
    bool history(const StationTask &station, const cli::Records &records);
    // Whether the outbox takes alarms and history now (Sinks::storable).
    bool storable(std::string *why);
    // Items gone from the list (SIGHUP): their retained topics are cleared on the broker;
    // `kept`: the items that stay.
    void dropped(const std::vector<Item> &gone, const std::vector<Item> &kept);
    // Sends what waits in the outbox (as far as the broker is connected).
    void flush();

    void beforeConnect() override;
    void connectedNow() override;
    void published(int mid) override;
    void tick() override;

private:
    void publish(const std::string &topic, const std::string &payload, int qos, bool retain);
    std::string topic(int channel, uint32_t node, const std::string &rest) const;
    std::string itemBase(const Item &item) const;
    void outboxFault(const std::string &why);
    void publishValues(const Item &item, const std::vector<std::pair<long long, double>> &values);
    // RepublishEvery: every value held, published again with the time of its last good read.
    void republish();
    // Stores the records' messages (and the peer's); false with the fault said.
    bool store(std::vector<OutMessage> messages, const std::optional<Outbox::Resume> &resume,
               const std::optional<Outbox::LastAlarm> &last, const std::string &what);

    Outbox &outbox_;
    OutboxPeer *peer_ = nullptr;
    const std::set<uint32_t> sharedNodes_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point republishDue_{};
    std::map<std::string, HeldItem> items_;                       // by item name, as published
    std::string outboxState_;                                     // as published on <prefix>/outbox
    std::vector<std::pair<std::string, Handler>> listeners_;      // topic filter, handler
    std::vector<std::pair<std::string, std::string>> discovery_;  // Home Assistant configs
    // Retained state, published again at every connection.
    std::map<std::string, std::string> retained_;
    OutboxSender sender_;    // the outbox's messages for these topics
    long acknowledged_ = 0;  // since the outbox was last empty
};

}  // namespace hydrix::serve
