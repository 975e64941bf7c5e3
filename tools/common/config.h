// The profile as this program sees it: which channels exist, their engine, nodes,
// retries and port, and the optional [Poll] section. Loaded from an INI file or, without
// one, the embedded default that serves the station simulator's built-in plants.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "errors.h"
#include "runtime/runtime.h"

namespace hydrix::cli {

inline constexpr const char *kDriverSection = "Driver";

struct ChannelConfig {
    int number = 0;
    std::string section;  // "Chan0"
    Engine engine = Engine::Telegram;
    std::vector<uint32_t> nodes;  // in profile order
    bool directConn = true;       // v6 engine: direct line (the route is the node number)
    // Per node, in the order of `nodes`: its address on the wire as the driver will use it.
    // Telegram engine: the plant number (1 when [ChanN\NodeM] has no PlantNumber: see
    // `defaulted`). v6 engine on a dial-up channel: the route text.
    std::vector<std::string> addresses;
    std::vector<bool> defaulted;  // the profile does not give this node's address
    int retries = 3;
    rt::PortSettings port;  // device empty: no Port key
};

struct Config {
    std::string source;  // file name, or "<built-in>"
    bool embedded = false;
    std::vector<ChannelConfig> channels;
    std::vector<std::string> pollItems;  // [Poll] Items
    double pollInterval = 0;             // [Poll] Interval in seconds, 0 when absent

    const ChannelConfig *channel(int number) const;
};

// "plant 12", "plant 1 (no PlantNumber: defaulted)", "route 'A1'" ...: node `index` of a channel.
std::string addressText(const ChannelConfig &channel, size_t index);
// The one-line note for a node whose address the profile leaves to the driver's default,
// or nothing.
std::optional<std::string> defaultedAddressNote(const ChannelConfig &channel, uint32_t node);

// Loads the profile into the runtime (the driver reads it from there), checks it and
// describes it. `debug` turns on the driver's byte dumps ("Debug" in the driver's
// section). On error returns nothing with *error naming the file (and line); a profile
// with several errors gives one line each. The check's warnings land in *findings;
// with `keepGoing` its errors land there too and the profile is described all the same
// (as far as it can be: `hydrix check`).
std::optional<Config> loadConfig(const std::string &path, bool debug, std::string *error,
                                 std::vector<Finding> *findings, bool keepGoing = false);

// The channel and node a command is for. Either may be left out when the profile makes
// the choice unambiguous.
struct Target {
    int channel = 0;
    uint32_t node = 0;
};
std::optional<Target> findTarget(const Config &config, std::optional<int> channel, std::optional<long long> node,
                                 std::string *error);

// The node list as the driver reads it: runs of letters and digits, each read like atoi.
std::vector<uint32_t> parseNodeList(const std::string &text);

}  // namespace hydrix::cli
