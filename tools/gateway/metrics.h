// What the gateway counts, for a Prometheus server: per line the requests, their failures
// by cause and the time to an answer (a histogram), per item the age of its last good read,
// and the outbox depth, the MQTT and Sparkplug connections and the Modbus clients. Rendered in the
// Prometheus text format (version 0.0.4) at each scrape; nothing here waits on a line.
#pragma once
#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cause.h"
#include "store.h"

namespace hydrix::serve {

class Metrics {
public:
    // Upper bounds of the answer time histogram, in seconds.
    static constexpr std::array<double, 9> kBuckets{0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

    // One request on a line ended after `seconds`, failed with `cause` (None: it did not).
    void request(int channel, double seconds, cli::Cause cause);

    // The gauges read at the scrape: the items' ages from the store, the rest by asking.
    struct Gauges {
        std::vector<std::pair<std::string, std::optional<double>>> itemAges;  // seconds; none: never read
        std::optional<size_t> outbox;                                         // none: no MQTT
        std::optional<bool> mqttConnected;
        std::optional<bool> sparkplugConnected;  // none: no Sparkplug
        std::optional<size_t> modbusClients;
    };
    std::string render(const Gauges &gauges) const;

private:
    struct Line {
        uint64_t requests = 0;
        std::map<cli::Cause, uint64_t> failures;
        std::array<uint64_t, kBuckets.size()> buckets{};  // not cumulative here
        double seconds = 0;
    };
    mutable std::mutex mutex_;
    std::map<int, Line> lines_;
};

}  // namespace hydrix::serve
