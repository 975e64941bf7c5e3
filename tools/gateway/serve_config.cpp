#include "serve_config.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "poll.h"
#include "times.h"

namespace hydrix::serve {
namespace {

const char *kBuiltIn = R"([Serve]
Items=0/12:picture:1:0-11 every=2s, 0/12:report:1-14 every=1m, 0/12:setpoints:1-8 every=30s, 1/7:picture:1:1-11 every=2s, 1/7:report:0-14 every=1m, 1/7:setpoints:1-8 every=30s
Alarms=0/12 every=30s, 1/7 every=30s
History=0/12 every=10m, 1/7 every=10m
Modbus=127.0.0.1:1502
)";

std::string trim(const std::string &s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

std::vector<std::string> splitList(const std::string &text) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, ','))
        if (!trim(part).empty()) out.push_back(trim(part));
    return out;
}

bool same(const std::string &a, const char *b) { return strcasecmp(a.c_str(), b) == 0; }

// An entry of a list: the thing itself and its optional " every=DURATION".
struct Entry {
    std::string what;
    std::optional<std::string> every;
    std::string bad;  // a word that is neither
};

Entry splitEntry(const std::string &text) {
    Entry e;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        if (word.size() > 6 && strncasecmp(word.c_str(), "every=", 6) == 0 && !e.every)
            e.every = word.substr(6);
        else if (e.what.empty())
            e.what = word;
        else
            e.bad = word;
    }
    return e;
}

// "[CHANNEL/]NODE", both whole numbers; nothing when it is not that.
struct StationRef {
    std::optional<int> channel;
    long long node = 0;
};
std::optional<StationRef> parseStation(const std::string &text) {
    StationRef r;
    std::string nodeText = text;
    if (const size_t slash = text.find('/'); slash != std::string::npos) {
        char *end = nullptr;
        const long c = std::strtol(text.c_str(), &end, 10);
        if (slash == 0 || end != text.c_str() + slash) return std::nullopt;
        r.channel = static_cast<int>(c);
        nodeText = text.substr(slash + 1);
    }
    char *end = nullptr;
    r.node = std::strtoll(nodeText.c_str(), &end, 10);
    if (nodeText.empty() || *end != '\0') return std::nullopt;
    return r;
}

const char *const kKeys[] = {
    "Items",          "Every",        "Alarms",      "History",      "HistoryFrom",       "Modbus",
    "WordOrder",      "StaleAfter",   "Units",       "AllowWrites",  "WriteClients",      "Mqtt",
    "MqttPrefix",     "MqttClientId", "MqttUser",    "MqttPassword", "MqttPasswordFile",  "MqttCaFile",
    "MqttCertFile",   "MqttKeyFile",  "Outbox",      "OutboxLimit",  "ModbusIdleTimeout", "ModbusMaxClients",
    "RepublishEvery", "Http",         "HaDiscovery", "Sparkplug",    "SparkplugGroupId",  "SparkplugEdgeNodeId"};

// The known key a mistyped one most likely meant; none when nothing is close.
const char *nearestKey(const std::string &key) {
    const char *best = nullptr;
    size_t bestDistance = 3;  // at most two edits
    for (const char *k : kKeys)
        if (const size_t d = cli::editDistance(key, k); d < bestDistance) {
            best = k;
            bestDistance = d;
        }
    return best;
}

std::string formatSeconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", s);
    return buf;
}

const char *const kTagsSection = "Serve\\Tags";

// A tag's name: letters, digits and _, not starting with a digit.
bool validName(const std::string &name) {
    return !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0])) &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isalnum(c) || c == '_'; });
}
const char *const kAlarmsSection = "Serve\\Alarms";

// The sections the gateway reads: [Serve], [Serve\Tags], [Serve\Alarms].
bool gatewaySection(const std::string &section) {
    return same(section, "Serve") || same(section, kTagsSection) || same(section, kAlarmsSection);
}

class Parser {
public:
    Parser(const cli::Config &channels, std::vector<cli::Finding> *findings) : channels_(channels), out_(findings) {}
    std::optional<ServeConfig> run(const std::vector<rt::ProfileEntry> &entries);

private:
    void entry(const rt::ProfileEntry &e);
    void items(const rt::ProfileEntry &e);
    void stations(const rt::ProfileEntry &e, std::vector<StationTask> *to, double every);
    void units(const rt::ProfileEntry &e);
    void tag(const rt::ProfileEntry &e);
    void machineTag(const rt::ProfileEntry &e, size_t at);
    void alarmText(const rt::ProfileEntry &e);
    void unitsInUse();
    void wholeSection(const std::vector<rt::ProfileEntry> &entries);
    void add(bool error, const rt::ProfileEntry &e, const std::string &what) {
        out_->push_back({error, e.line, "[" + e.section + "] " + e.key + " = " + e.value + ": " + what});
        errors_ += error ? 1 : 0;
    }
    // 0 or 1; `rest` says what 0 and 1 mean after "must be 0 ".
    void flag(const rt::ProfileEntry &e, const std::string &v, bool *to, const std::string &rest) {
        if (v != "0" && v != "1") return add(true, e, "must be 0 " + rest);
        *to = v == "1";
    }
    // An interval, or off (0).
    void durationOrOff(const rt::ProfileEntry &e, const std::string &v, double *to) {
        if (same(v, "off"))
            *to = 0;
        else if (auto d = duration(e, v))
            *to = *d;
    }
    // The channel and node a station entry names; nothing (and the finding) when the
    // profile has no such station.
    std::optional<cli::Target> targetOf(const rt::ProfileEntry &e, const StationRef &station) {
        std::string why;
        auto target = cli::findTarget(channels_, station.channel, station.node, &why);
        if (!target) add(true, e, why);
        return target;
    }
    std::optional<double> duration(const rt::ProfileEntry &e, const std::string &text) {
        auto d = parseDuration(text);
        if (!d) add(true, e, "\"" + text + "\" is no interval: write 10s, 5m, 1h or 500ms (0.1 s to one day)");
        return d;
    }

    const cli::Config &channels_;
    std::vector<cli::Finding> *out_;
    ServeConfig config_;
    int errors_ = 0;
    double every_ = 10;
    const rt::ProfileEntry *itemsEntry_ = nullptr;
};

std::optional<ServeConfig> Parser::run(const std::vector<rt::ProfileEntry> &entries) {
    config_.historyFrom = cli::parseStartTime(config_.historyFromText).value_or(0);
    // Every= first: it gives the items their interval wherever it stands.
    for (const rt::ProfileEntry &e : entries)
        if (!e.repeated && same(e.key, "Every"))
            if (auto d = duration(e, e.value)) every_ = *d;
    // [Serve] first: the tags name values of its items.
    for (const bool main : {true, false})
        for (const rt::ProfileEntry &e : entries) {
            if (same(e.section, "Serve") != main) continue;
            if (e.repeated) {
                add(false, e, "given again in this section: the first value counts, this line is ignored");
                continue;
            }
            if (main)
                entry(e);
            else if (same(e.section, kTagsSection))
                tag(e);
            else
                alarmText(e);
        }
    unitsInUse();
    wholeSection(entries);
    if (errors_ > 0) return std::nullopt;
    return config_;
}

// What `serve` would say of the section as a whole, said here as well so that `check`
// agrees with it.
void Parser::wholeSection(const std::vector<rt::ProfileEntry> &entries) {
    if (entries.empty()) return;
    const auto find = [&](const char *key) {
        for (const rt::ProfileEntry &e : entries)
            if (same(e.key, key)) return &e;
        return &entries.front();
    };
    const ServeConfig &c = config_;
    if (c.items.empty() && c.alarms.empty() && c.history.empty() && errors_ == 0)
        add(true, *find("Items"), "[Serve] has nothing to serve (no Items, Alarms or History)");
    if (!c.items.empty() && c.modbus.empty() && c.mqtt.empty())
        add(false, *find("Items"), "neither Modbus= nor Mqtt= is set: the values are read and go nowhere");
    if ((!c.alarms.empty() || !c.history.empty()) && c.mqtt.empty())
        add(false, *find(c.alarms.empty() ? "History" : "Alarms"),
            "Alarms and History need Mqtt=: without it they are not fetched (the stations keep them)");
    if (c.sparkplug && c.mqtt.empty())
        add(true, *find("Sparkplug"), "Sparkplug=1 needs Mqtt= (the broker the edge node publishes to)");
    const auto given = [&](const char *key) {
        return std::any_of(entries.begin(), entries.end(), [&](const rt::ProfileEntry &e) { return same(e.key, key); });
    };
    // (An id given with a bad value has its own finding.)
    if (c.sparkplug && !(given("SparkplugGroupId") && given("SparkplugEdgeNodeId")))
        add(true, *find("Sparkplug"), "Sparkplug=1 needs SparkplugGroupId= and SparkplugEdgeNodeId=");
    if (c.staleAfter > 0)
        for (const Item &item : c.items)
            if (c.staleAfter < item.every)
                add(false, *find("StaleAfter"),
                    "item '" + item.name + "' is read every " + formatSeconds(item.every) +
                        ": its values would be stale between two reads");
}

void Parser::entry(const rt::ProfileEntry &e) {
    const std::string &k = e.key;
    const std::string v = trim(e.value);
    ServeConfig &c = config_;
    if (same(k, "Every")) return;  // read first
    if (same(k, "Items")) return items(e);
    if (same(k, "Alarms")) return stations(e, &c.alarms, 60);
    if (same(k, "History")) return stations(e, &c.history, 900);
    if (same(k, "Units")) return units(e);
    if (same(k, "HistoryFrom")) {
        auto t = cli::parseStartTime(v);
        if (!t) return add(true, e, "write a date from 2000 on as \"YYYY-MM-DD HH:MM\", ...Z for UTC, -6h, -2d or 0");
        c.historyFrom = *t;
        c.historyFromText = v;
        return;
    }
    if (same(k, "Http")) {
        std::string host;
        int port = 0;
        if (v.empty() || same(v, "off")) return;
        in_addr a{};
        if (!splitHostPort(v, &host, &port) || inet_pton(AF_INET, host.c_str(), &a) != 1)
            return add(true, e, "write ADDRESS:PORT with an IPv4 address (e.g. 127.0.0.1:9188), or off");
        c.http = v;
        return;
    }
    if (same(k, "Modbus") || same(k, "Mqtt")) {
        std::string host;
        int port = 0;
        if (v.empty() || same(v, "off")) return;
        if (!splitHostPort(v, &host, &port)) return add(true, e, "write ADDRESS:PORT (e.g. 127.0.0.1:1502), or off");
        if (same(k, "Modbus")) {
            in_addr a{};
            if (host != "*" && inet_pton(AF_INET, host.c_str(), &a) != 1)
                return add(true, e, "the Modbus front end listens on an IPv4 address (or * for all)");
            c.modbus = v;
        } else {
            c.mqtt = v;
        }
        return;
    }
    if (same(k, "WordOrder")) {
        static const std::pair<const char *, WordOrder> orders[] = {
            {"ABCD", WordOrder::ABCD}, {"CDAB", WordOrder::CDAB}, {"BADC", WordOrder::BADC}, {"DCBA", WordOrder::DCBA}};
        for (const auto &[name, order] : orders)
            if (same(v, name)) {
                c.wordOrder = order;
                return;
            }
        return add(true, e, "must be ABCD (big-endian, the default), CDAB, BADC or DCBA");
    }
    if (same(k, "StaleAfter")) {
        if (auto d = duration(e, v)) c.staleAfter = *d;
        return;
    }
    if (same(k, "HaDiscovery"))
        return flag(e, v, &c.haDiscovery, "(the default) or 1 (Home Assistant discovery configs)");
    if (same(k, "AllowWrites")) return flag(e, v, &c.allowWrites, "(no writes, the default) or 1");
    if (same(k, "Sparkplug")) return flag(e, v, &c.sparkplug, "(the default) or 1 (a Sparkplug B edge node)");
    if (same(k, "SparkplugGroupId") || same(k, "SparkplugEdgeNodeId")) {
        // A topic level of its own: no '/', '+' or '#'.
        if (v.empty() || v.find_first_of("/+#") != std::string::npos)
            return add(true, e, "an id is not empty and has no '/', '+' or '#'");
        (same(k, "SparkplugGroupId") ? c.sparkplugGroup : c.sparkplugNode) = v;
        return;
    }
    if (same(k, "RepublishEvery")) return durationOrOff(e, v, &c.republishEvery);
    if (same(k, "ModbusIdleTimeout")) return durationOrOff(e, v, &c.modbusIdleTimeout);
    if (same(k, "ModbusMaxClients")) {
        char *end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end != '\0' || n < 1 || n > 1000)
            return add(true, e, "write a number of clients from 1 to 1000");
        c.modbusMaxClients = static_cast<int>(n);
        return;
    }
    if (same(k, "OutboxLimit")) {
        char *end = nullptr;
        const long long n = std::strtoll(v.c_str(), &end, 10);
        if (v.empty() || *end != '\0' || n < 0 || n > 100000000)
            return add(true, e, "write how many messages may wait, 0 (no limit) to 100000000");
        c.outboxLimit = static_cast<size_t>(n);
        return;
    }
    if (same(k, "WriteClients")) {
        for (const std::string &a : splitList(v)) {
            in_addr addr{};
            if (inet_pton(AF_INET, a.c_str(), &addr) != 1) return add(true, e, "'" + a + "' is not an IPv4 address");
            c.writeClients.push_back(a);
        }
        return;
    }
    static const std::pair<const char *, std::string ServeConfig::*> texts[] = {
        {"MqttPrefix", &ServeConfig::mqttPrefix},
        {"MqttClientId", &ServeConfig::mqttClientId},
        {"MqttUser", &ServeConfig::mqttUser},
        {"MqttPassword", &ServeConfig::mqttPassword},
        {"MqttPasswordFile", &ServeConfig::mqttPasswordFile},
        {"MqttCaFile", &ServeConfig::mqttCaFile},
        {"MqttCertFile", &ServeConfig::mqttCertFile},
        {"MqttKeyFile", &ServeConfig::mqttKeyFile},
        {"Outbox", &ServeConfig::outbox}};
    for (const auto &[name, field] : texts)
        if (same(k, name)) {
            if (same(k, "MqttPrefix") && (v.empty() || v.find_first_of("#+") != std::string::npos || v.back() == '/'))
                return add(true, e, "a topic prefix is not empty, has no '#' or '+' and does not end in '/'");
            c.*field = v;
            return;
        }
    std::string hint;
    if (const char *near = nearestKey(k)) hint = ": did you mean " + std::string(near) + "?";
    add(false, e, "unknown key (nothing reads it)" + hint);
}

void Parser::items(const rt::ProfileEntry &e) {
    itemsEntry_ = &e;
    std::set<std::string> seen;
    for (const std::string &text : splitList(e.value)) {
        const Entry parts = splitEntry(text);
        if (!parts.bad.empty()) {
            add(true, e, "'" + text + "': one item and at most one every= per entry (entries are separated by commas)");
            continue;
        }
        std::string why;
        auto q = cli::parsePollItem(parts.what, channels_, &why);
        if (!q) {
            add(true, e, why);
            continue;
        }
        if (!q->first || !q->count) {
            add(true, e,
                "item '" + parts.what + "' needs its values as FIRST-LAST (e.g. " + parts.what +
                    ":0-9): the register map gives each value its place");
            continue;
        }
        const cli::ChannelConfig *ch = channels_.channel(q->target.channel);
        if (q->what == cli::What::Picture && *q->first == 0 && ch && ch->engine == cli::Engine::V6) {
            add(true, e, "item '" + parts.what + "': the v6 engine numbers a picture's values from 1");
            continue;
        }
        if (q->what == cli::What::Report && *q->first == 0 && ch && ch->engine == cli::Engine::Telegram) {
            // Its register would never hold more than NaN.
            add(true, e, "item '" + parts.what + "': the telegram engine numbers the report's values from 1");
            continue;
        }
        if (q->what == cli::What::Setpoints && (*q->first < 1 || *q->first + *q->count - 1 > 127)) {
            add(true, e, "item '" + parts.what + "': setpoints are numbered 1 to 127");
            continue;
        }
        Item item;
        item.query = *q;
        item.first = *q->first;
        item.count = *q->count;
        // The canonical name: the same item written two ways is still one item.
        item.name = std::to_string(q->target.channel) + "/" + std::to_string(q->target.node) + ":" +
                    (q->what == cli::What::Picture  ? "picture:" + std::to_string(q->picture)
                     : q->what == cli::What::Report ? std::string("report")
                                                    : std::string("setpoints")) +
                    ":" + std::to_string(item.first) + "-" + std::to_string(item.first + item.count - 1);
        item.every = every_;
        if (parts.every) {
            auto d = duration(e, parts.every.value());
            if (!d) continue;
            item.every = *d;
        }
        if (!seen.insert(item.name).second) {
            add(true, e, "item '" + parts.what + "' is listed twice");
            continue;
        }
        config_.items.push_back(item);
    }
}

void Parser::stations(const rt::ProfileEntry &e, std::vector<StationTask> *to, double every) {
    std::set<std::pair<int, uint32_t>> seen;
    for (const std::string &text : splitList(e.value)) {
        const Entry parts = splitEntry(text);
        const auto station = parts.bad.empty() ? parseStation(parts.what) : std::nullopt;
        if (!station) {
            add(true, e, "'" + text + "': write [CHANNEL/]NODE [every=INTERVAL]");
            continue;
        }
        const auto target = targetOf(e, *station);
        if (!target) continue;
        StationTask t{target->channel, target->node, every};
        if (parts.every) {
            auto d = duration(e, *parts.every);
            if (!d) continue;
            t.every = *d;
        }
        if (!seen.insert({t.channel, t.node}).second) {
            add(true, e, "node " + std::to_string(t.node) + " is listed twice");
            continue;
        }
        to->push_back(t);
    }
}

void Parser::units(const rt::ProfileEntry &e) {
    for (const std::string &text : splitList(e.value)) {
        const size_t colon = text.rfind(':');
        const auto station = colon == std::string::npos ? std::nullopt : parseStation(text.substr(0, colon));
        char *end = nullptr;
        const std::string unitText = colon == std::string::npos ? "" : text.substr(colon + 1);
        const long unit = std::strtol(unitText.c_str(), &end, 10);
        if (!station || unitText.empty() || *end != '\0') {
            add(true, e, "'" + text + "': write [CHANNEL/]NODE:UNIT, e.g. 300:30");
            continue;
        }
        if (unit < 1 || unit > 247) {
            add(true, e, "'" + text + "': a Modbus unit id is 1 to 247");
            continue;
        }
        const auto target = targetOf(e, *station);
        if (!target) continue;
        config_.units[{target->channel, target->node}] = static_cast<int>(unit);
    }
}

// Every station with items has a unit id of its own.
void Parser::unitsInUse() {
    if (!itemsEntry_) return;
    std::map<int, std::pair<int, uint32_t>> byUnit;
    for (const Item &item : config_.items) {
        const int channel = item.query.target.channel;
        const uint32_t node = item.query.target.node;
        const int unit = config_.unitOf(channel, node);
        const std::string who = "node " + std::to_string(node) + " (channel " + std::to_string(channel) + ")";
        if (unit < 1 || unit > 247) {
            add(true, *itemsEntry_,
                who + " needs a Modbus unit id from 1 to 247: map it with Units=" + std::to_string(channel) + "/" +
                    std::to_string(node) + ":UNIT");
            byUnit[unit] = {channel, node};
            continue;
        }
        auto [it, fresh] = byUnit.emplace(unit, std::make_pair(channel, node));
        if (!fresh && it->second != std::make_pair(channel, node))
            add(true, *itemsEntry_,
                who + " and node " + std::to_string(it->second.second) + " (channel " +
                    std::to_string(it->second.first) + ") would share Modbus unit " + std::to_string(unit) +
                    ": give one of them its own with Units=");
    }
}

// "12:picture:1:3 = inlet_level, m, 0.01": the values of a served item, a name (letters,
// digits and _; a range of values gets _<number> after it), a unit and a scale.
void Parser::tag(const rt::ProfileEntry &e) {
    std::string why;
    if (const size_t at = e.key.find(":machine:"); at != std::string::npos) return machineTag(e, at);
    auto q = cli::parsePollItem(e.key, channels_, &why);
    if (!q) return add(true, e, why);
    const int first = q->first.value_or(-1);
    const int count = q->count.value_or(0);
    if (first < 0 || count < 1)
        return add(true, e, "name a value or a range of values, e.g. 12:picture:1:3 or 12:report:1-5");
    const auto parts = splitList(e.value);
    if (parts.empty() || parts.size() > 3) return add(true, e, "write NAME[, UNIT[, SCALE]]");
    Tag t;
    t.name = parts[0];
    if (!validName(t.name)) return add(true, e, "a name is letters, digits and _, not starting with a digit");
    if (parts.size() > 1) t.unit = parts[1];
    if (parts.size() > 2) {
        char *end = nullptr;
        t.scale = std::strtod(parts[2].c_str(), &end);
        if (end == parts[2].c_str() || *end != '\0' || !std::isfinite(t.scale) || t.scale == 0)
            return add(true, e, "'" + parts[2] + "' is no scale: a number other than 0, e.g. 0.01");
    }
    for (int index = first; index < first + count; ++index) {
        const Item *served = nullptr;
        for (const Item &item : config_.items)
            if (item.query.what == q->what && item.query.picture == q->picture &&
                item.query.target.channel == q->target.channel && item.query.target.node == q->target.node &&
                index >= item.first && index < item.first + item.count)
                served = &item;
        if (!served)
            return add(true, e, "value " + std::to_string(index) + " is in no item of Items: it is not served");
        Tag named = t;
        if (count > 1) {
            // Appended in steps: `"_" + std::to_string(index)` trips g++ 12's -Wrestrict at -O3.
            named.name += '_';
            named.name += std::to_string(index);
        }
        config_.tags[{served->name, index}] = named;
    }
}

// "12:machine:2 = inlet_pump": a machine's name, for its start and stop buttons.
void Parser::machineTag(const rt::ProfileEntry &e, size_t at) {
    const auto station = parseStation(trim(e.key.substr(0, at)));
    const std::string number = trim(e.key.substr(at + 9));
    char *end = nullptr;
    const long machine = std::strtol(number.c_str(), &end, 10);
    if (!station || number.empty() || *end != '\0' || machine < 1 || machine > 255)
        return add(true, e, "write [CHANNEL/]NODE:machine:N = NAME (machine 1 to 255)");
    const auto target = targetOf(e, *station);
    if (!target) return;
    const std::string name = trim(e.value);
    if (!validName(name)) return add(true, e, "a name is letters, digits and _, not starting with a digit");
    config_.machineTags[{target->channel, target->node, static_cast<int>(machine)}] = name;
}

// "301 = Inlet level high" (every station) or "[CHANNEL/]NODE:301 = ...".
void Parser::alarmText(const rt::ProfileEntry &e) {
    const std::string key = trim(e.key);
    const size_t colon = key.rfind(':');
    const std::string codeText = colon == std::string::npos ? key : key.substr(colon + 1);
    char *end = nullptr;
    const long long code = std::strtoll(codeText.c_str(), &end, 10);
    if (codeText.empty() || *end != '\0' || code < 0) return add(true, e, "write CODE or [CHANNEL/]NODE:CODE = TEXT");
    if (trim(e.value).empty()) return add(true, e, "the alarm's text is missing");
    int channel = -1;
    uint32_t node = 0;
    if (colon != std::string::npos) {
        const auto station = parseStation(key.substr(0, colon));
        if (!station) return add(true, e, "write CODE or [CHANNEL/]NODE:CODE = TEXT");
        const auto target = targetOf(e, *station);
        if (!target) return;
        channel = target->channel;
        node = target->node;
    }
    config_.alarmTexts[{channel, node, code}] = trim(e.value);
}

}  // namespace

const Tag *ServeConfig::tagOf(const std::string &item, long long index) const {
    auto it = tags.find({item, index});
    return it == tags.end() ? nullptr : &it->second;
}

std::string ServeConfig::alarmText(int channel, uint32_t node, long long code) const {
    if (auto it = alarmTexts.find({channel, node, code}); it != alarmTexts.end()) return it->second;
    if (auto it = alarmTexts.find({-1, 0, code}); it != alarmTexts.end()) return it->second;
    return "";
}

int ServeConfig::unitOf(int channel, uint32_t node) const {
    auto it = units.find({channel, node});
    if (it != units.end()) return it->second;
    return node <= 247 ? static_cast<int>(node) : -1;
}

double ServeConfig::staleLimit(const Item &item) const {
    return staleAfter > 0 ? staleAfter : std::max(60.0, 3 * item.every);
}

const char *builtInServeSection() { return kBuiltIn; }

std::optional<double> parseDuration(const std::string &text) {
    const std::string t = trim(text);
    if (t.empty()) return std::nullopt;
    char *end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    const std::string unit = end;
    double scale = 0;
    if (unit.empty() || unit == "s")
        scale = 1;
    else if (unit == "ms")
        scale = 0.001;
    else if (unit == "m")
        scale = 60;
    else if (unit == "h")
        scale = 3600;
    else if (unit == "d")
        scale = 86400;
    if (scale == 0 || end == t.c_str() || !std::isfinite(v)) return std::nullopt;
    const double seconds = v * scale;
    if (seconds < 0.1 || seconds > 86400) return std::nullopt;
    return seconds;
}

bool splitHostPort(const std::string &text, std::string *host, int *port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    char *end = nullptr;
    const std::string p = text.substr(colon + 1);
    const long v = std::strtol(p.c_str(), &end, 10);
    if (p.empty() || *end != '\0' || v < 1 || v > 65535) return false;
    *host = text.substr(0, colon);
    *port = static_cast<int>(v);
    return true;
}

std::optional<ServeConfig> parseServe(const std::vector<rt::ProfileEntry> &entries, const cli::Config &channels,
                                      std::vector<cli::Finding> *findings) {
    return Parser(channels, findings).run(entries);
}

std::vector<rt::ProfileEntry> serveEntries() {
    std::vector<rt::ProfileEntry> out;
    for (const rt::ProfileEntry &e : rt::profileEntries())
        if (gatewaySection(e.section)) out.push_back(e);
    return out;
}

std::optional<std::vector<rt::ProfileEntry>> readServeEntries(const std::string &path, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = path + ": cannot be read";
        return std::nullopt;
    }
    // The profile's own rules: a comment only at the start of a line, values as written,
    // the first value of a key counts.
    std::vector<rt::ProfileEntry> out;
    std::set<std::string> keys;
    std::string section, line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string t = trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') {
            const size_t close = t.find(']');
            section = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            continue;
        }
        const size_t eq = t.find('=');
        if (!gatewaySection(section) || eq == std::string::npos) continue;
        rt::ProfileEntry e;
        e.section = section;
        e.key = trim(t.substr(0, eq));
        e.value = trim(t.substr(eq + 1));
        e.line = number;
        std::string lower = section + "\n" + e.key;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        e.repeated = !keys.insert(lower).second;
        out.push_back(e);
    }
    return out;
}

std::vector<cli::Finding> checkServeSection() {
    // The channels and nodes as the profile lists them; enough to resolve the items.
    cli::Config channels;
    channels.source = rt::profileSource();
    for (int c = 0; c < HYDRIX_CHANNELS; ++c) {
        const std::string section = "Chan" + std::to_string(c);
        auto nodes = rt::profileValue(section, "Nodes");
        if (!nodes) continue;
        cli::ChannelConfig ch;
        ch.number = c;
        ch.section = section;
        ch.engine = myGetPrivateProfileInt(section.c_str(), "HYDRIXDefault", 1, 0) != 0 ? cli::Engine::Telegram
                                                                                        : cli::Engine::V6;
        ch.nodes = cli::parseNodeList(*nodes);
        channels.channels.push_back(ch);
    }
    std::vector<cli::Finding> findings;
    parseServe(serveEntries(), channels, &findings);
    return findings;
}

}  // namespace hydrix::serve
