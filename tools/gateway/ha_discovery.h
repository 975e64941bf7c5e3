// Home Assistant MQTT discovery (HaDiscovery=1): for every tagged value a retained config
// on homeassistant/<component>/<id>/config, one device per station:
//   sensor  every tagged value: its name and unit, the value topic, the value from its JSON
//   number  a tagged setpoint where writes are allowed (AllowWrites=1): its /set topic
//   button  start and stop of a named machine (12:machine:2 = inlet_pump), writes allowed
// Each entity is available while the gateway is online and its station's line is. The
// config of the other kind is cleared (an empty retained message), so a setpoint whose
// writes were turned on or off stays one entity.
#pragma once
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "serve_config.h"

namespace hydrix::serve {

struct DiscoveryTopics {
    std::string prefix;                                              // the gateway's topic prefix
    std::function<std::string(const Item &)> itemBase;               // <prefix>/<station>/<item>
    std::function<std::string(int channel, uint32_t node)> station;  // <prefix>/<station>
};

// (topic, payload) of each config; an empty payload clears one.
std::vector<std::pair<std::string, std::string>> haDiscovery(const ServeConfig &serve, const DiscoveryTopics &t);

}  // namespace hydrix::serve
