// The MQTT publisher (libmosquitto). Topics under the prefix (default "hydrix"):
//   <prefix>/status                          "online", or "offline" (also the last will)
//   <prefix>/channel/<n>/status              "online" or "offline": how the last request
//                                            on the channel's line ended
//   <prefix>/<node>/<item>/<index>           {"value":..,"time":"..Z","quality":"good"},
//                                            retained, on every change (item: picture1,
//                                            report, setpoint)
//   <prefix>/<node>/<item>/status            {"quality":"failing","error":{..},"since":".."}
//                                            retained, when reads start or stop failing
//   <prefix>/<node>/alarms, .../history      one QoS 1 message per alarm or history
//                                            record, not retained, from the outbox
// The client reconnects on its own; at every connection it says "online" again and
// publishes every value it holds (a broker that restarted has lost its retained ones),
// then whatever waits in the outbox.
#pragma once
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "outbox.h"
#include "scheduler.h"
#include "serve_config.h"

struct mosquitto;

namespace hydrix::serve {

class MqttPublisher {
public:
    MqttPublisher(const ServeConfig &serve, Outbox &outbox);
    ~MqttPublisher();
    // Starts the client's thread and the first connection attempt (a broker that is not
    // there yet is tried again and again). False with *error for settings the library
    // refuses (TLS files ...).
    bool start(std::string *error);
    // Says "offline", disconnects and joins the client's thread.
    void stop();

    // From the poller (its thread).
    void changed(const Item &item, const std::vector<std::pair<long long, double>> &values, OrvelTime time);
    void itemStatus(const Item &item, bool failing, const std::string &errorJson, OrvelTime since);
    void lineStatus(int channel, bool online);
    void alarms(const StationTask &station, const cli::Records &records);
    void history(const StationTask &station, const cli::Records &records);
    // Sends what waits in the outbox (as far as the broker is connected).
    void flush();

    // libmosquitto's callbacks.
    void onConnect(int rc);
    void onDisconnect(int rc);
    void onPublish(int mid);

private:
    void publish(const std::string &topic, const std::string &payload, int qos, bool retain);
    std::string topic(uint32_t node, const std::string &rest) const;

    const ServeConfig serve_;
    Outbox &outbox_;
    mosquitto *mosq_ = nullptr;
    std::mutex mutex_;
    std::atomic<bool> connected_{false};
    bool announced_ = false;
    // Retained state, published again at every connection.
    std::map<std::string, std::string> retained_;
    // Outbox messages sent and not yet acknowledged: message id -> outbox id.
    std::map<int, int64_t> inFlight_;
    int64_t sentUpTo_ = 0;  // outbox ids up to this one are in flight or acknowledged
    long acknowledged_ = 0; // since the outbox was last empty
};

}  // namespace hydrix::serve
