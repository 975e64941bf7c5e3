#include "ha_discovery.h"

#include <nlohmann/json.hpp>

namespace hydrix::serve {
namespace {

// Letters, digits, _ and -: what a discovery id may hold.
std::string idOf(const std::string &text) {
    std::string out;
    for (char c : text) out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    return out;
}

nlohmann::ordered_json device(const std::string &id, int channel, uint32_t node) {
    return {{"identifiers", {id}},
            {"name", "Station " + std::to_string(node) + " (channel " + std::to_string(channel) + ")"},
            {"manufacturer", "HYDRIX"},
            {"model", "pump station"}};
}

}  // namespace

std::vector<std::pair<std::string, std::string>> haDiscovery(const ServeConfig &serve, const DiscoveryTopics &t) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const Item &item : serve.items)
        for (int index = item.first; index < item.first + item.count; ++index) {
            const Tag *tag = serve.tagOf(item.name, index);
            if (!tag) continue;
            const int channel = item.query.target.channel;
            const uint32_t node = item.query.target.node;
            const std::string station = t.station(channel, node);
            const std::string deviceId = idOf(station);
            const std::string id = deviceId + "_" + idOf(tag->name);
            const std::string valueTopic = t.itemBase(item) + "/" + std::to_string(index);
            nlohmann::ordered_json c;
            c["name"] = tag->name;
            c["unique_id"] = id;
            c["object_id"] = id;
            c["state_topic"] = valueTopic;
            c["value_template"] = "{{ value_json.value }}";
            if (!tag->unit.empty()) c["unit_of_measurement"] = tag->unit;
            c["availability"] = {{{"topic", t.prefix + "/status"}},
                                 {{"topic", t.prefix + "/channel/" + std::to_string(channel) + "/status"}}};
            c["availability_mode"] = "all";
            c["device"] = device(deviceId, channel, node);
            const bool writable = item.setpoints() && serve.allowWrites;
            if (writable) {
                c["command_topic"] = t.station(channel, node) + "/setpoint/" + std::to_string(index) + "/set";
                c["min"] = -1e9;
                c["max"] = 1e9;
                c["step"] = 0.001;
                c["mode"] = "box";
            } else {
                c["state_class"] = "measurement";
            }
            out.push_back(
                {"homeassistant/" + std::string(writable ? "number" : "sensor") + "/" + id + "/config", c.dump()});
            // The other kind goes: a setpoint that became writable (or no longer is) is
            // one entity, not two.
            out.push_back({"homeassistant/" + std::string(writable ? "sensor" : "number") + "/" + id + "/config", ""});
        }
    // Pump commands: a start and a stop button per named machine, only where writes are allowed.
    if (!serve.allowWrites) return out;
    for (const auto &[key, name] : serve.machineTags) {
        const auto &[channel, node, machine] = key;
        const std::string station = t.station(channel, node);
        const std::string deviceId = idOf(station);
        for (const char *command : {"start", "stop"}) {
            const std::string id = deviceId + "_" + idOf(name) + "_" + command;
            nlohmann::ordered_json c;
            c["name"] = name + " " + command;
            c["unique_id"] = id;
            c["object_id"] = id;
            c["command_topic"] = station + "/command/" + std::to_string(machine) + "/set";
            c["payload_press"] = command;
            c["availability"] = {{{"topic", t.prefix + "/status"}},
                                 {{"topic", t.prefix + "/channel/" + std::to_string(channel) + "/status"}}};
            c["availability_mode"] = "all";
            c["device"] = device(deviceId, channel, node);
            out.push_back({"homeassistant/button/" + id + "/config", c.dump()});
        }
    }
    return out;
}

}  // namespace hydrix::serve
