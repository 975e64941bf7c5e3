#include "metrics.h"

#include <cstdio>

namespace hydrix::serve {
namespace {

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

// A label value with \, " and newline escaped, as the text format wants them.
std::string labelValue(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

void family(std::string *out, const char *name, const char *type, const char *help) {
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

void Metrics::request(int channel, double seconds, cli::Cause cause) {
    std::lock_guard lock(mutex_);
    Line &l = lines_[channel];
    ++l.requests;
    if (cause != cli::Cause::None) ++l.failures[cause];
    l.seconds += seconds;
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) {
            ++l.buckets[i];
            break;
        }
}

std::string Metrics::render(const Gauges &g) const {
    std::string out;
    std::map<int, Line> lines;
    {
        std::lock_guard lock(mutex_);
        lines = lines_;
    }
    family(&out, "hydrix_requests_total", "counter", "Requests the gateway made on a line.");
    for (const auto &[c, l] : lines)
        out += "hydrix_requests_total{channel=\"" + std::to_string(c) + "\"} " + std::to_string(l.requests) + "\n";
    family(&out, "hydrix_request_failures_total", "counter", "Requests that failed, by cause.");
    for (const auto &[c, l] : lines)
        for (const auto &[cause, n] : l.failures)
            out += "hydrix_request_failures_total{channel=\"" + std::to_string(c) + "\",cause=\"" +
                   cli::causeKey(cause) + "\"} " + std::to_string(n) + "\n";
    family(&out, "hydrix_request_seconds", "histogram", "Time from a request to its end.");
    for (const auto &[c, l] : lines) {
        const std::string channel = "channel=\"" + std::to_string(c) + "\"";
        uint64_t cumulative = 0;
        for (size_t i = 0; i < kBuckets.size(); ++i) {
            cumulative += l.buckets[i];
            out += "hydrix_request_seconds_bucket{" + channel + ",le=\"" + number(kBuckets[i]) + "\"} " +
                   std::to_string(cumulative) + "\n";
        }
        out += "hydrix_request_seconds_bucket{" + channel + ",le=\"+Inf\"} " + std::to_string(l.requests) + "\n";
        out += "hydrix_request_seconds_sum{" + channel + "} " + number(l.seconds) + "\n";
        out += "hydrix_request_seconds_count{" + channel + "} " + std::to_string(l.requests) + "\n";
    }
    family(&out, "hydrix_item_last_good_read_age_seconds", "gauge",
           "Age of an item's last good read (NaN: never read).");
    for (const auto &[item, age] : g.itemAges)
        out += "hydrix_item_last_good_read_age_seconds{item=\"" + labelValue(item) + "\"} " +
               (age ? number(*age) : std::string("NaN")) + "\n";
    if (g.outbox) {
        family(&out, "hydrix_outbox_messages", "gauge", "Alarms and history records waiting for the broker.");
        out += "hydrix_outbox_messages " + std::to_string(*g.outbox) + "\n";
    }
    if (g.mqttConnected) {
        family(&out, "hydrix_mqtt_connected", "gauge", "1 while the MQTT client is connected to the broker.");
        out += std::string("hydrix_mqtt_connected ") + (*g.mqttConnected ? "1" : "0") + "\n";
    }
    if (g.sparkplugConnected) {
        family(&out, "hydrix_sparkplug_connected", "gauge",
               "1 while the Sparkplug B edge node is connected to the broker.");
        out += std::string("hydrix_sparkplug_connected ") + (*g.sparkplugConnected ? "1" : "0") + "\n";
    }
    if (g.modbusClients) {
        family(&out, "hydrix_modbus_clients", "gauge", "Modbus TCP clients connected.");
        out += "hydrix_modbus_clients " + std::to_string(*g.modbusClients) + "\n";
    }
    return out;
}

}  // namespace hydrix::serve
