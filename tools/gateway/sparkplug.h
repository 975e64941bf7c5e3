// The Sparkplug B edge node (Sparkplug 3.0), with Sparkplug=1: a connection of its own to
// the Mqtt= broker, whose last will is the node's death certificate. One device per
// station (named as in the MQTT topics). Topics under spBv1.0/<group>/:
//   NBIRTH/<edge>            at every connection and rebirth: "bdSeq", "Node Control/Rebirth"
//   NDEATH/<edge>            the will (with the connection's bdSeq), also said at a clean stop
//   DBIRTH/<edge>/<station>  every metric of the station with its value, its unit
//                            (property "engUnit") and property "Quality" (OPC codes: 192
//                            good, 68 reads failing and the value the last good one, 24
//                            stale or never read)
//   DDATA/<edge>/<station>   values when they change and when their quality does; alarms
//                            ("Alarm/Code", "Alarm/State", "Alarm/Text") and history records
//                            ("History/<n>", is_historical) with the station's time; command
//                            results ("Command/Result", JSON as on the MQTT result topics)
//   DDEATH/<edge>/<station>  the station stopped answering; born again at its next answer
//   NCMD/<edge>              "Node Control/Rebirth" = true: NBIRTH and DBIRTHs again
//   DCMD/<edge>/<station>    a setpoint's metric (the value as served) or a named machine's
//                            "<name>/Command" ("start", "stop", "auto", "block"); carried out
//                            only with AllowWrites=1, else refused in "Command/Result"
// Value metrics are named by their tag ([Serve\Tags]), else "<item>/<n>" ("picture1/3").
// seq runs 0 (NBIRTH) to 255 and wraps over every message of the node; bdSeq counts the
// connections and is kept in the outbox across runs.
//
// Every message of the node goes at QoS 1, where Sparkplug sends births and data at QoS 0:
// alarms and history leave the outbox only when the broker has them (at QoS 0 an alarm
// the connection dropped would be gone), and one QoS for all keeps the messages, and so
// their seq, in order on the way to a host (the client library and the broker queue QoS 1
// messages and let QoS 0 ones pass them). Each outbox message is encoded when sent, with
// the seq of that moment; after a reconnection the
// library's copies of the last session are dropped and the outbox sends them again after
// the births, with property "dup". A station's alarms and history go out even when it has
// stopped answering since they were taken (they would otherwise wait unseen).
#pragma once
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "mqtt.h"
#include "mqtt_commands.h"
#include "sparkplug_payload.h"

namespace hydrix::serve {

class SparkplugNode : public MqttClient, public OutboxPeer {
public:
    SparkplugNode(const ServeConfig &serve, const cli::Config &config, Outbox &outbox, std::string clientId,
                  std::set<uint32_t> sharedNodes);
    ~SparkplugNode() override;
    // Connects (until then the poller's news is only kept); DCMD writes go to `submit`.
    bool start(CommandQueue::Submit submit, std::string *error);
    void stop();  // NDEATH, then disconnects

    // From the poller.
    void changed(const Item &item, const std::vector<std::pair<long long, double>> &values, OrvelTime time);
    void itemStatus(const Item &item, Quality quality, OrvelTime lastGood);
    void station(int channel, uint32_t node, bool answering);

    std::vector<OutMessage> alarmMessages(const StationTask &station, const cli::Records &records) override;
    std::vector<OutMessage> historyMessages(const StationTask &station, const cli::Records &records) override;
    void flush() override;

    void beforeConnect() override;
    void connectedNow() override;
    void disconnectedNow() override;
    void published(int mid) override;
    void message(const std::string &topic, const std::string &payload) override;

private:
    struct Device {
        int channel = 0;
        uint32_t node = 0;
        std::string id;
        std::vector<std::string> items;  // item names
        bool alarms = false;
        size_t historyWidth = 0;                    // History/<n> metrics born
        std::map<std::string, std::string> writes;  // metric -> "setpoint/<n>" or "command/<m>"
        bool answering = true;
        bool born = false;
    };
    using Key = std::pair<int, uint32_t>;

    std::string topic(const char *type, const std::string &device = "") const;
    void sendLocked(const char *type, const std::string &device, std::vector<sparkplug::Metric> metrics,
                    int *mid = nullptr, bool *sent = nullptr);
    sparkplug::Metric bdSeqMetric() const;
    void birthsLocked();
    void deviceBirthLocked(Device &d);
    std::vector<sparkplug::Metric> itemMetricsLocked(const HeldItem &s, const std::vector<long long> &indexes) const;
    void sendOutboxLocked(const OutMessage &m, int *mid, bool *sent);
    uint64_t outboxMetricsLocked(const OutMessage &m, std::vector<sparkplug::Metric> *out);
    void command(const std::string &deviceId, const sparkplug::Metric &metric);
    void commandResult(const Key &device, const std::string &json);

    Outbox &outbox_;
    const cli::Config &config_;
    const std::set<uint32_t> sharedNodes_;
    const std::string group_, edge_;
    CommandQueue commands_;
    std::mutex mutex_;  // the state below, and every send (so that seq follows the wire)
    std::map<Key, Device> devices_;
    std::map<std::string, HeldItem> items_;  // by item name
    uint64_t bdSeq_ = 0;
    uint64_t seq_ = 0;
    bool born_ = false;              // NBIRTH sent on this connection
    OutboxSender sender_;            // the outbox's alarms and history for the node
    std::atomic<int> deathMid_{-1};  // message id of the NDEATH of a clean stop, until acknowledged
};

}  // namespace hydrix::serve
