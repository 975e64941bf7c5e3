// The [Serve] section of the profile: what the gateway reads and how often, which
// stations it fetches alarms and history from, and its front ends. Checked as strictly as
// the rest of the profile: every bad value is an error naming its line and key.
//
//   [Serve]
//   Items=0/12:picture:1:0-11 every=2s, 12:setpoints:1-8 every=5m, 7:report:0-14
//   Every=10s                     interval of items without every= (default 10 s)
//   Alarms=12 every=30s, 7        stations whose alarms are fetched (default every 60 s)
//   History=12, 7 every=30m       stations whose history is fetched (default every 15 min)
//   HistoryFrom=-24h              where the first history fetch starts
//   Modbus=127.0.0.1:1502         Modbus TCP front end (empty or "off": none)
//   WordOrder=ABCD                ABCD (default), CDAB, BADC or DCBA
//   StaleAfter=60s                a value older than this is no value (default: 3 times
//                                 the item's interval, at least 60 s)
//   Units=1/300:30                Modbus unit ids of nodes above 247 ([CHANNEL/]NODE:UNIT)
//   AllowWrites=0                 1: setpoint and machine writes over Modbus
//   WriteClients=127.0.0.1        the addresses allowed to write
//   ModbusIdleTimeout=60s         a client silent this long is dropped ("off": never)
//   ModbusMaxClients=64           connections at most; a new one then drops the longest idle
//   Mqtt=localhost:1883, MqttPrefix=hydrix, MqttClientId, MqttUser, MqttPassword or
//   MqttPasswordFile,
//   MqttCaFile, MqttCertFile, MqttKeyFile, Outbox=/var/lib/hydrix/outbox.db,
//   OutboxLimit=100000            messages waiting for the broker at most; when reached,
//                                 alarms and history stay at the stations (0: no limit)
//   Sparkplug=1, SparkplugGroupId=water, SparkplugEdgeNodeId=works1
//                                 a Sparkplug B edge node on the Mqtt= broker (sparkplug.h)
#pragma once
#include <cstdint>
#include <map>
#include <tuple>
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "config.h"
#include "query.h"
#include "runtime/runtime.h"

namespace hydrix::serve {

// One item read again and again.
struct Item {
    std::string name;   // as written, without " every=...": "0/12:picture:1:0-11"
    cli::Query query;   // the read, its channel and node resolved
    double every = 10;  // seconds between reads
    int first = 0;      // the first value number
    int count = 0;      // values
    bool setpoints() const { return query.what == cli::What::Setpoints; }
};

// Alarms or history of one station, fetched at an interval.
struct StationTask {
    int channel = 0;
    uint32_t node = 0;
    double every = 60;
};

enum class WordOrder { ABCD, CDAB, BADC, DCBA };

// [Serve\Tags]: a served value's name for the integrator, its unit, and the factor from the
// station's number to the value served (value = number x scale; a write divides by it).
struct Tag {
    std::string name, unit;
    double scale = 1;
    bool operator==(const Tag &) const = default;
};

struct ServeConfig {
    std::vector<Item> items;
    std::vector<StationTask> alarms, history;
    OrvelTime historyFrom = 0;  // first history fetch starts after this
    std::string historyFromText = "-24h";
    std::string modbus;  // "ADDRESS:PORT", empty: no Modbus front end
    WordOrder wordOrder = WordOrder::ABCD;
    double staleAfter = 0;                          // 0: 3 times the item's interval, at least 60 s
    std::map<std::pair<int, uint32_t>, int> units;  // (channel, node) -> unit id, given
    bool allowWrites = false;
    std::vector<std::string> writeClients;  // IPv4 addresses as text
    std::string mqtt;                       // "HOST:PORT", empty: no MQTT
    std::string mqttPrefix = "hydrix";
    std::string mqttClientId, mqttUser, mqttPassword, mqttCaFile, mqttCertFile, mqttKeyFile;
    std::string mqttPasswordFile;               // the password's first line; a relative name is
                                                // looked up in $CREDENTIALS_DIRECTORY (systemd)
    std::string http;                           // "ADDRESS:PORT" of /metrics and /healthz; empty: off
    bool haDiscovery = false;                   // Home Assistant discovery configs for the tagged values
    double republishEvery = 0;                  // MQTT: every value published again this often (0: only on change)
    double modbusIdleTimeout = 60;              // seconds a Modbus client may stay silent (0: for ever)
    int modbusMaxClients = 64;                  // at the limit the longest-idle client is dropped
    std::string outbox;                         // SQLite file of alarms and history on their way
    size_t outboxLimit = 100000;                // messages waiting at most (0: no limit)
    bool sparkplug = false;                     // a Sparkplug B edge node on the same broker
    std::string sparkplugGroup, sparkplugNode;  // its group id and edge node id

    std::map<std::pair<std::string, long long>, Tag> tags;              // by item name and value number
    std::map<std::tuple<int, uint32_t, int>, std::string> machineTags;  // (channel, node, machine) -> name
    // [Serve\Alarms]: alarm texts by (channel, node, code); node 0 of channel -1: every station.
    std::map<std::tuple<int, uint32_t, long long>, std::string> alarmTexts;

    // The tag of an item's value; none when it has none.
    const Tag *tagOf(const std::string &item, long long index) const;
    // The text of a station's alarm code; empty when it has none.
    std::string alarmText(int channel, uint32_t node, long long code) const;
    // The Modbus unit id of a station: the Units key, else the node number.
    int unitOf(int channel, uint32_t node) const;
    // How old an item's last good value may be.
    double staleLimit(const Item &item) const;
};

// The built-in section: both simulated stations' picture 1, report and setpoints, their
// alarms and history, Modbus on 127.0.0.1:1502.
const char *builtInServeSection();

// Reads the [Serve] entries against the profile's channels. Every problem lands in
// *findings (errors and warnings, with the entry's line); returns the section when no
// error was found.
std::optional<ServeConfig> parseServe(const std::vector<rt::ProfileEntry> &entries, const cli::Config &channels,
                                      std::vector<cli::Finding> *findings);

// The [Serve] entries of the profile the runtime holds.
std::vector<rt::ProfileEntry> serveEntries();
// The [Serve] entries of an INI file read afresh (SIGHUP), without touching the profile
// the driver reads. Nothing with *error when the file cannot be read.
std::optional<std::vector<rt::ProfileEntry>> readServeEntries(const std::string &path, std::string *error);

// The checks `hydrix check` and every command run on the runtime's profile: the [Serve]
// section against the channels and nodes that the profile lists.
std::vector<cli::Finding> checkServeSection();

// "10s", "5m", "1.5h", "500ms" or plain seconds; 0.1 s to one day.
std::optional<double> parseDuration(const std::string &text);
// "ADDRESS:PORT" with a port from 1 to 65535.
bool splitHostPort(const std::string &text, std::string *host, int *port);

}  // namespace hydrix::serve
