// A Sparkplug B host application for the gateway's tests: tests/serve/sparkplug/client.js
// under node (the Eclipse Tahu codec, npm sparkplug-payload), which decodes every message
// under spBv1.0/ on the broker into a JSON line, and encodes the commands a test sends.
#pragma once
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/process.h"

namespace servetest {

class SparkplugHost {
public:
    // With a client id: a session the broker keeps across its restarts and the host's
    // absences (QoS 1 messages wait for it).
    explicit SparkplugHost(int port, const std::string &clientId = "");
    bool subscribed(int timeoutMs = 10000) const;
    // Every message decoded so far, in the order of arrival.
    std::vector<nlohmann::json> messages() const;
    // Those whose topic holds `part` ("NBIRTH", "DDATA/works1/12").
    std::vector<nlohmann::json> on(const std::string &part) const;
    // A payload with these metrics ([{"name","type","value"}]) published `times` times.
    bool publish(const std::string &topic, const nlohmann::json &metrics, int times = 1) const;

private:
    int port_;
    Process watch_;
};

// A metric of a decoded message by name; null when it has none.
nlohmann::json metricOf(const nlohmann::json &message, const std::string &name);

}  // namespace servetest
