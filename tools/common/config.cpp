#include "config.h"
#include "inputs.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <fstream>
#include <sstream>

namespace hydrix::cli {
namespace {

// Channel 0 runs the telegram engine for plant 12, channel 1 the v6 engine for station
// 7; both are served by simulated stations on pseudo-terminals.
const char *kEmbeddedProfile = R"([Driver]
Debug=0

[Chan0]
HYDRIXDefault=1
Nodes=12

[Chan0\Node12]
PlantNumber=12

[Chan1]
HYDRIXDefault=0
DeviceName=SIM1
Nodes=7

[Poll]
Items=0/12:picture:1:0-4 1/7:picture:1:1-5 0/12:setpoints:1-3
Interval=2
)";

int profileInt(const std::string &section, const char *key, int fallback) {
    auto v = rt::profileValue(section, key);
    if (!v || v->empty()) return fallback;
    // Decimal, or hexadecimal after "0x", as the driver reads its keys.
    const bool hex = v->size() > 2 && (*v)[0] == '0' && ((*v)[1] == 'x' || (*v)[1] == 'X');
    return static_cast<int>(std::strtol(v->c_str(), nullptr, hex ? 16 : 10));
}

std::string join(const std::vector<uint32_t> &nodes) {
    std::string out;
    for (uint32_t n : nodes) out += (out.empty() ? "" : ", ") + std::to_string(n);
    return out.empty() ? "none" : out;
}

}  // namespace

std::string addressText(const ChannelConfig &c, size_t i) {
    if (c.engine == Engine::Telegram)
        return "plant " + c.addresses[i] + (c.defaulted[i] ? " (no PlantNumber: defaulted)" : "");
    if (c.directConn) return "direct";
    return c.defaulted[i] ? "no route (no Route key)" : "route '" + c.addresses[i] + "'";
}

std::optional<std::string> defaultedAddressNote(const ChannelConfig &c, uint32_t node) {
    for (size_t i = 0; i < c.nodes.size(); ++i) {
        if (c.nodes[i] != node || !c.defaulted[i]) continue;
        const std::string sub = "[" + c.section + "\\Node" + std::to_string(node) + "]";
        if (c.engine == Engine::Telegram)
            return "note: node " + std::to_string(node) + " has no PlantNumber in " + sub +
                   ": the driver addresses plant 1";
        return "note: node " + std::to_string(node) + " has no Route in " + sub + ": the driver sends an empty route";
    }
    return std::nullopt;
}

namespace {

std::string channelList(const Config &config) {
    std::string out;
    for (const ChannelConfig &c : config.channels) out += (out.empty() ? "" : ", ") + std::to_string(c.number);
    return out.empty() ? "none" : out;
}

std::optional<std::string> describeChannels(const std::string &source, Config *config) {
    for (int c = 0; c < HYDRIX_CHANNELS; ++c) {
        ChannelConfig ch;
        ch.number = c;
        ch.section = "Chan" + std::to_string(c);
        bool present = false;
        for (const std::string &s : rt::profileSections())
            present = present || strcasecmp(s.c_str(), ch.section.c_str()) == 0;
        if (!present) continue;
        ch.engine = profileInt(ch.section, "HYDRIXDefault", 1) != 0 ? Engine::Telegram : Engine::V6;
        ch.nodes = parseNodeList(rt::profileValue(ch.section, "Nodes").value_or(""));
        ch.retries = profileInt(ch.section, "Retries", 3);
        ch.directConn = profileInt(ch.section, "DirectConn", 1) != 0;
        for (uint32_t node : ch.nodes) {
            const std::string sub = ch.section + "\\Node" + std::to_string(node);
            const auto value = rt::profileValue(sub, ch.engine == Engine::Telegram ? "PlantNumber" : "Route");
            if (ch.engine == Engine::Telegram) {
                ch.addresses.push_back(std::to_string(value ? profileInt(sub, "PlantNumber", 1) : 1));
                ch.defaulted.push_back(!value);
            } else {
                ch.addresses.push_back(ch.directConn ? std::to_string(node) : value.value_or("").substr(0, 3));
                ch.defaulted.push_back(!ch.directConn && !value);
            }
        }
        if (ch.engine == Engine::V6 && rt::profileValue(ch.section, "DeviceName").value_or("").empty())
            return source + ": [" + ch.section + "]: the v6 engine needs a DeviceName key";
        if (ch.nodes.empty()) return source + ": [" + ch.section + "]: no Nodes key (the list of its stations)";
        if (auto err = rt::portSettingsFromProfile(ch.section, &ch.port)) return source + ": " + *err;
        config->channels.push_back(std::move(ch));
    }
    if (config->channels.empty()) return source + ": no channel sections ([Chan0] to [Chan7])";
    const std::string items = rt::profileValue("Poll", "Items").value_or("");
    std::istringstream in(items);
    for (std::string item; in >> item;)
        for (size_t start = 0; start < item.size();) {
            size_t comma = item.find(',', start);
            if (comma == std::string::npos) comma = item.size();
            if (comma > start) config->pollItems.push_back(item.substr(start, comma - start));
            start = comma + 1;
        }
    if (auto interval = rt::profileValue("Poll", "Interval")) {
        std::string why;
        auto seconds = parseInterval(*interval, &why);
        if (!seconds) return source + ": [Poll] Interval: " + why;
        config->pollInterval = *seconds;
    }
    return std::nullopt;
}

}  // namespace

const ChannelConfig *Config::channel(int number) const {
    for (const ChannelConfig &c : channels)
        if (c.number == number) return &c;
    return nullptr;
}

std::vector<uint32_t> parseNodeList(const std::string &text) {
    std::vector<uint32_t> nodes;
    for (size_t i = 0; i < text.size();) {
        if (!std::isalnum(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && std::isalnum(static_cast<unsigned char>(text[end]))) ++end;
        if (nodes.size() < HYDRIX_MAX_NODES)
            nodes.push_back(static_cast<uint32_t>(std::atoi(text.substr(i, end - i).c_str())));
        i = end;
    }
    return nodes;
}

std::optional<Config> loadConfig(const std::string &path, bool debug, std::string *error,
                                 std::vector<Finding> *findings, bool keepGoing) {
    Config config;
    std::string text;
    if (path.empty()) {
        config.source = "<built-in>";
        config.embedded = true;
        text = kEmbeddedProfile;
    } else {
        config.source = path;
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            *error = path + ": is a directory, not a profile";
            return std::nullopt;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            *error = path + ": cannot read the profile: " + std::strerror(errno);
            return std::nullopt;
        }
        std::ostringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    if (auto perr = rt::loadProfileText(text, config.source)) {
        *error = perr->what();
        return std::nullopt;
    }
    std::string errors;
    for (const Finding &f : checkProfile()) {
        if (f.error && !keepGoing)
            errors += (errors.empty() ? "" : "\nhydrix: ") + findingLine(config.source, f);
        else
            findings->push_back(f);
    }
    if (!errors.empty()) {
        *error = errors;
        return std::nullopt;
    }
    if (debug) {
        // The first value of a key counts, so a section put in front wins.
        rt::loadProfileText(std::string("[") + kDriverSection + "]\nDebug=1\n" + text, config.source);
    }
    if (auto err = describeChannels(config.source, &config)) {
        *error = *err;
        return std::nullopt;
    }
    return config;
}

std::optional<Target> findTarget(const Config &config, std::optional<int> channel, std::optional<long long> node,
                                 std::string *error) {
    const std::string where = " in " + config.source;
    if (channel) {
        const ChannelConfig *c = config.channel(*channel);
        if (!c) {
            *error = "unknown channel " + std::to_string(*channel) + where + " (channels: " + channelList(config) + ")";
            return std::nullopt;
        }
        if (!node) {
            if (c->nodes.size() == 1) return Target{c->number, c->nodes[0]};
            *error = "channel " + std::to_string(*channel) + " has several nodes (" + join(c->nodes) + "): give --node";
            return std::nullopt;
        }
        for (uint32_t n : c->nodes)
            if (static_cast<long long>(n) == *node) return Target{c->number, n};
        *error = "unknown node " + std::to_string(*node) + " on channel " + std::to_string(*channel) + where +
                 " (its nodes: " + join(c->nodes) + ")";
        return std::nullopt;
    }
    std::vector<Target> found;
    for (const ChannelConfig &c : config.channels)
        for (uint32_t n : c.nodes)
            if (!node || static_cast<long long>(n) == *node) found.push_back({c.number, n});
    if (found.size() == 1) return found[0];
    if (!node) {
        *error = "give --node (and --channel when a node is on several channels); see 'hydrix channels'";
        return std::nullopt;
    }
    if (found.empty()) {
        std::string all;
        for (const ChannelConfig &c : config.channels)
            all += (all.empty() ? "" : "; ") + std::to_string(c.number) + ": " + join(c.nodes);
        *error = "unknown node " + std::to_string(*node) + where + " (nodes by channel: " + all + ")";
    } else {
        *error = "node " + std::to_string(*node) + " is on several channels: give --channel";
    }
    return std::nullopt;
}

}  // namespace hydrix::cli
