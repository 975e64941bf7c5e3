#include "serve.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "http_server.h"
#include "metrics.h"
#include "modbus_server.h"
#include "mqtt.h"
#include "mqtt_commands.h"
#include "outbox.h"
#include "register_map.h"
#include "scheduler.h"
#include "serve_config.h"
#include "service.h"
#include "sparkplug.h"

namespace hydrix::serve {
namespace {

std::atomic<bool> reloadRequested{false};
extern "C" void onReload(int) { reloadRequested.store(true, std::memory_order_relaxed); }

int fail(const std::string &text) {
    std::fprintf(stderr, "hydrix: %s\n", text.c_str());
    return cli::EXIT_SETUP;
}

// The section's entries: from the profile, or the built-in section.
std::optional<std::vector<rt::ProfileEntry>> entriesOf(const ServeOptions &o, std::string *error) {
    if (!o.configPath.empty()) return readServeEntries(o.configPath, error);
    std::vector<rt::ProfileEntry> out;
    std::istringstream in(builtInServeSection());
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        out.push_back({"Serve", line.substr(0, eq), line.substr(eq + 1), number, false});
    }
    return out;
}

// The section read and checked, with the command line's front ends; nothing when it has
// errors (each printed, or logged when `logged`).
std::optional<ServeConfig> loadServe(const cli::Config &config, const ServeOptions &o, bool logged) {
    std::string error;
    const std::string source = o.configPath.empty() ? "<built-in>" : o.configPath;
    auto entries = entriesOf(o, &error);
    if (!entries) {
        logged ? logLine(error) : (void)fail(error);
        return std::nullopt;
    }
    std::vector<cli::Finding> findings;
    auto serve = parseServe(*entries, config, &findings);
    for (const cli::Finding &f : findings) {
        // At start the profile check has said these already; a reread says them again.
        if (logged)
            logLine(cli::findingLine(source, f));
        else if (f.error)
            std::fprintf(stderr, "hydrix: %s\n", cli::findingLine(source, f).c_str());
    }
    if (!serve) return std::nullopt;
    if (!o.modbus.empty()) serve->modbus = o.modbus == "off" ? "" : o.modbus;
    if (!o.mqtt.empty()) serve->mqtt = o.mqtt == "off" ? "" : o.mqtt;
    return serve;
}

// The client id when the section names none: one of its own per host and profile, so
// that gateways of several profiles on one host do not take each other's connection.
std::string defaultClientId(const ServeOptions &o) {
    char host[64] = "gateway";
    gethostname(host, sizeof host - 1);
    std::string profile = o.configPath.empty() ? "builtin" : o.configPath;
    if (const size_t slash = profile.rfind('/'); slash != std::string::npos) profile = profile.substr(slash + 1);
    if (const size_t dot = profile.rfind('.'); dot != std::string::npos && dot > 0) profile = profile.substr(0, dot);
    return "hydrix-" + std::string(host) + "-" + profile;
}

// Node numbers that are on more than one channel of the profile.
std::set<uint32_t> sharedNodes(const cli::Config &config) {
    std::map<uint32_t, int> channels;
    std::set<uint32_t> out;
    for (const cli::ChannelConfig &c : config.channels)
        for (uint32_t node : std::set<uint32_t>(c.nodes.begin(), c.nodes.end()))
            if (++channels[node] == 2) out.insert(node);
    return out;
}

// Without MQTT, alarms and history have nowhere to go: they are not fetched, so the
// stations keep them (an alarm fetched is an alarm the station forgets).
void withoutMqtt(ServeConfig *serve) {
    if (!serve->mqtt.empty() || (serve->alarms.empty() && serve->history.empty())) return;
    logLine("no MQTT: alarms of " + std::to_string(serve->alarms.size()) + " and history of " +
            std::to_string(serve->history.size()) + " station(s) are not fetched (the stations keep them)");
    serve->alarms.clear();
    serve->history.clear();
}

// MqttPasswordFile: the password is its first line. A relative name is a systemd
// credential (LoadCredential=), looked up in $CREDENTIALS_DIRECTORY.
bool readPasswordFile(ServeConfig *serve, std::string *error) {
    if (serve->mqttPasswordFile.empty()) return true;
    std::string path = serve->mqttPasswordFile;
    const char *credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (path[0] != '/' && credentials && *credentials) path = std::string(credentials) + "/" + path;
    std::ifstream in(path);
    if (!in || !std::getline(in, serve->mqttPassword)) {
        *error = "MqttPasswordFile " + path + ": cannot be read";
        return false;
    }
    if (!serve->mqttPassword.empty() && serve->mqttPassword.back() == '\r') serve->mqttPassword.pop_back();
    return true;
}

ModbusOptions modbusOptions(const ServeConfig &serve) {
    ModbusOptions m;
    splitHostPort(serve.modbus, &m.address, &m.port);
    m.allowWrites = serve.allowWrites;
    m.writeClients = serve.writeClients;
    m.idleTimeout = serve.modbusIdleTimeout;
    m.maxClients = serve.modbusMaxClients;
    return m;
}

// The gauges of a scrape, read now.
Metrics::Gauges gaugesNow(const ServeConfig &serve, const Store &store, Outbox &outbox, MqttPublisher *mqtt,
                          SparkplugNode *sparkplug, ModbusServer &modbus) {
    Metrics::Gauges g;
    const auto now = Clock::now();
    for (const Item &item : serve.items) {
        const auto state = store.get(item.name);
        g.itemAges.push_back(
            {item.name, state && state->everGood
                            ? std::optional<double>(std::chrono::duration<double>(now - state->goodAt).count())
                            : std::nullopt});
    }
    if (mqtt) {
        g.outbox = outbox.count();
        g.mqttConnected = mqtt->connected();
    }
    if (sparkplug) g.sparkplugConnected = sparkplug->connected();
    if (!serve.modbus.empty()) g.modbusClients = modbus.clients();
    return g;
}

// How long a line's thread may be away on one request before /healthz says so: twice the
// longest interval of the section, at least a minute (a silent station's tries take that).
Clock::duration healthLimit(const ServeConfig &serve) {
    double longest = 30;
    for (const Item &item : serve.items) longest = std::max(longest, item.every);
    for (const auto *tasks : {&serve.alarms, &serve.history})
        for (const StationTask &t : *tasks) longest = std::max(longest, t.every);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(2 * longest));
}

// The front ends given on the command line are well formed; else the message.
std::optional<std::string> badFrontEnd(const ServeOptions &o) {
    std::string host;
    int port = 0;
    if (!o.modbus.empty() && o.modbus != "off" && !splitHostPort(o.modbus, &host, &port))
        return "--modbus " + o.modbus + ": write ADDRESS:PORT";
    if (!o.mqtt.empty() && o.mqtt != "off" && !splitHostPort(o.mqtt, &host, &port))
        return "--mqtt " + o.mqtt + ": write HOST:PORT";
    return std::nullopt;
}

// Opens the outbox and starts the MQTT client, and points the scheduler's sinks at it.
// Alarms and history go to the outbox before anything else happens to them.
std::unique_ptr<MqttPublisher> startMqtt(const ServeConfig &serve, const ServeOptions &o, const cli::Config &config,
                                         Outbox &outbox, Sinks *sinks, std::string *error) {
    const char *state = std::getenv("STATE_DIRECTORY");  // systemd's StateDirectory=
    const std::string path = !serve.outbox.empty() ? serve.outbox
                             : state && *state     ? std::string(state) + "/outbox.db"
                                                   : std::string("hydrix-outbox.db");
    std::string note;
    if (!outbox.open(path, error, &note)) return nullptr;
    if (!note.empty()) logLine(note);
    outbox.limit(serve.outboxLimit);
    auto mqtt = std::make_unique<MqttPublisher>(serve, outbox, defaultClientId(o), sharedNodes(config));
    MqttPublisher *p = mqtt.get();
    sinks->changed = [p](const Item &i, const auto &v, OrvelTime t) { p->changed(i, v, t); };
    sinks->alarms = [p](const StationTask &s, const cli::Records &r) { return p->alarms(s, r); };
    sinks->history = [p](const StationTask &s, const cli::Records &r) { return p->history(s, r); };
    sinks->storable = [p](std::string *why) { return p->storable(why); };
    sinks->status = [p](const Item &i, Quality q, const std::string &e, OrvelTime since, OrvelTime good) {
        p->itemStatus(i, q, e, since, good);
    };
    sinks->line = [p](int c, bool online) { p->lineStatus(c, online); };
    if (!mqtt->start(error)) return nullptr;
    logLine("MQTT: publishing to " + serve.mqtt + " under " + serve.mqttPrefix + "/, outbox " + path + " (" +
            std::to_string(outbox.count()) + " waiting)");
    return mqtt;
}

// With Sparkplug=1: the edge node beside the MQTT publisher, on the same broker and outbox
// (its alarms and history stored with the publisher's), told what the poller tells it.
// It connects once the scheduler runs (SparkplugNode::start), so that a DCMD finds it.
std::unique_ptr<SparkplugNode> makeSparkplug(const ServeConfig &serve, const ServeOptions &o, const cli::Config &config,
                                             Outbox &outbox, MqttPublisher &mqtt, Sinks *sinks) {
    const std::string id = (serve.mqttClientId.empty() ? defaultClientId(o) : serve.mqttClientId) + "-sparkplug";
    auto node = std::make_unique<SparkplugNode>(serve, config, outbox, id, sharedNodes(config));
    SparkplugNode *p = node.get();
    mqtt.addPeer(p);
    sinks->changed = [was = sinks->changed, p](const Item &i, const auto &v, OrvelTime t) {
        was(i, v, t);
        p->changed(i, v, t);
    };
    sinks->status = [was = sinks->status, p](const Item &i, Quality q, const std::string &e, OrvelTime since,
                                             OrvelTime good) {
        was(i, q, e, since, good);
        p->itemStatus(i, q, good);
    };
    sinks->station = [p](int channel, uint32_t node, bool answering) { p->station(channel, node, answering); };
    return node;
}

// What a running gateway changes on SIGHUP, and with what.
struct Running {
    const cli::Config &config;
    const ServeOptions &o;
    ServeConfig &serve;
    Scheduler &scheduler;
    ModbusServer &modbus;
    MqttPublisher *mqtt;
};

// SIGHUP: the item list read again. A section with errors leaves the list as it was; the
// front ends stay where they are (a new address needs a restart).
void reload(Running &r) {
    notifyReloading();
    const std::string serving = "serving " + std::to_string(r.serve.items.size()) + " item(s)";
    if (r.o.configPath.empty()) {
        logLine("SIGHUP: the built-in item list does not change");
        notifyReady(serving);
        return;
    }
    std::string error;
    auto fresh = loadServe(r.config, r.o, true);
    std::optional<RegisterMap> freshMap;
    if (fresh) freshMap = buildMap(*fresh, &error);
    if (!fresh || !freshMap) {
        if (fresh) logLine(error);
        logLine("SIGHUP: " + r.o.configPath + " has errors: the item list stays as it was");
        notifyReady(serving);
        return;
    }
    const ServeConfig &was = r.serve;
    if (fresh->modbus != was.modbus)
        logLine("SIGHUP: Modbus=" + fresh->modbus + " takes effect at the next start; still on " +
                (was.modbus.empty() ? std::string("off") : was.modbus));
    if (fresh->mqtt != was.mqtt || fresh->mqttPrefix != was.mqttPrefix || fresh->mqttClientId != was.mqttClientId ||
        fresh->mqttUser != was.mqttUser || fresh->mqttPassword != was.mqttPassword ||
        fresh->mqttCaFile != was.mqttCaFile || fresh->mqttCertFile != was.mqttCertFile ||
        fresh->mqttKeyFile != was.mqttKeyFile || fresh->outbox != was.outbox ||
        fresh->republishEvery != was.republishEvery)
        logLine("SIGHUP: the MQTT settings and Outbox take effect at the next start");
    if (r.mqtt && (fresh->tags != was.tags || fresh->alarmTexts != was.alarmTexts))
        logLine(
            "SIGHUP: on MQTT, the names of [Serve\\Tags] and the texts of [Serve\\Alarms] take effect at the next "
            "start (Modbus and the register map have them now)");
    if (was.sparkplug || fresh->sparkplug)
        logLine("SIGHUP: the Sparkplug settings, devices and metrics take effect at the next start");
    fresh->modbus = was.modbus;
    fresh->mqtt = was.mqtt;
    withoutMqtt(&*fresh);
    if (r.mqtt) {
        std::vector<Item> gone;
        for (const Item &old : was.items)
            if (std::none_of(fresh->items.begin(), fresh->items.end(),
                             [&](const Item &i) { return i.name == old.name; }))
                gone.push_back(old);
        r.mqtt->dropped(gone, fresh->items);
    }
    r.scheduler.replace(*fresh);
    if (!was.modbus.empty()) r.modbus.update(std::make_shared<const RegisterMap>(*freshMap), modbusOptions(*fresh));
    r.serve = *fresh;
    logLine("SIGHUP: item list reread: " + std::to_string(r.serve.items.size()) + " item(s)");
    notifyReady("serving " + std::to_string(r.serve.items.size()) + " item(s)");
}

// Until SIGTERM or SIGINT: rereads the list on SIGHUP, and feeds the watchdog while every
// line's thread keeps coming round (one that hangs lets the service manager restart the
// gateway).
void serveUntilStopped(Running &r) {
    notifyReady("serving " + std::to_string(r.serve.items.size()) + " item(s)");
    const auto watchdog = watchdogInterval();
    auto fed = Clock::now() - watchdog;
    while (!cli::stopRequested.load()) {
        if (watchdog.count() > 0 && Clock::now() - fed >= watchdog / 2 && r.scheduler.linesServed(watchdog)) {
            feedWatchdog();
            fed = Clock::now();
        }
        if (reloadRequested.exchange(false)) reload(r);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

int serveCommand(const cli::Config &config, const ServeOptions &o) {
    if (auto bad = badFrontEnd(o)) return fail(*bad);
    auto serve = loadServe(config, o, false);
    if (!serve) return cli::EXIT_SETUP;
    std::string error;
    auto map = buildMap(*serve, &error);
    if (!map) return fail(error);
    if (o.printMap) {
        std::fputs(mapText(*map, o.format).c_str(), stdout);
        return cli::EXIT_OK;
    }
    if (serve->items.empty() && serve->alarms.empty() && serve->history.empty())
        return fail(config.source + ": [Serve]: nothing to serve (no Items, Alarms or History)");

    cli::installSignalHandlers();
    struct sigaction sa {};
    sa.sa_handler = onReload;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGHUP, &sa, nullptr);

    if (!readPasswordFile(&*serve, &error)) return fail(error);
    Outbox outbox;
    std::unique_ptr<MqttPublisher> mqtt;
    Sinks sinks;
    if (!serve->mqtt.empty() && !(mqtt = startMqtt(*serve, o, config, outbox, &sinks, &error))) return fail(error);
    std::unique_ptr<SparkplugNode> sparkplug;
    if (mqtt && serve->sparkplug) sparkplug = makeSparkplug(*serve, o, config, outbox, *mqtt, &sinks);
    withoutMqtt(&*serve);
    std::vector<int> channels;
    for (const cli::ChannelConfig &c : config.channels) channels.push_back(c.number);
    cli::Host host;
    if (!host.start(config, channels, o.host, &error)) {
        if (sparkplug) sparkplug->stop();
        if (mqtt) mqtt->stop();
        return fail(error);
    }
    logLine("started: " + config.source + ", " + std::to_string(config.channels.size()) + " channel(s), " +
            std::to_string(serve->items.size()) + " item(s), alarms of " + std::to_string(serve->alarms.size()) +
            ", history of " + std::to_string(serve->history.size()) + " station(s)");

    Metrics metrics;
    sinks.request = [&metrics](int channel, double seconds, cli::Cause cause) {
        metrics.request(channel, seconds, cause);
    };
    Store store;
    Scheduler scheduler(host, config, store, sinks);
    for (const auto &[station, after] : outbox.resumePoints())
        scheduler.resumeHistory(station.first, station.second, after);
    for (const auto &[station, identity] : outbox.lastAlarms())
        scheduler.resumeAlarms(station.first, station.second, identity);
    scheduler.start(*serve);
    const auto submit = [&scheduler](const cli::Query &q) { return scheduler.submit(q); };
    if (sparkplug && !sparkplug->start(submit, &error)) {
        scheduler.stop();
        if (mqtt) mqtt->stop();
        host.stop();
        return fail(error);
    }
    // Setpoint writes and machine commands over MQTT: with AllowWrites=1 only.
    std::unique_ptr<MqttCommands> commands;
    if (mqtt && serve->allowWrites) {
        commands = std::make_unique<MqttCommands>(*mqtt, config, *serve, sharedNodes(config), submit);
        commands->start();
    }
    ModbusServer modbus(store, scheduler);
    if (!serve->modbus.empty()) {
        if (!modbus.start(modbusOptions(*serve), std::make_shared<const RegisterMap>(*map), &error)) {
            if (commands) commands->stop();
            scheduler.stop();
            if (sparkplug) sparkplug->stop();
            if (mqtt) mqtt->stop();
            host.stop();
            return fail(error);
        }
        logLine("modbus: listening on " + serve->modbus + " (" + std::to_string(map->units.size()) +
                " unit(s), writes " +
                (serve->allowWrites ? "allowed from " + std::to_string(serve->writeClients.size()) + " address(es)"
                                    : std::string("off")) +
                ")");
    }
    HttpServer http;
    if (!serve->http.empty()) {
        std::string address;
        int port = 0;
        splitHostPort(serve->http, &address, &port);
        const auto gauges = [&] { return gaugesNow(*serve, store, outbox, mqtt.get(), sparkplug.get(), modbus); };
        const auto health = [&scheduler, limit = healthLimit(*serve)](std::string *why) {
            const std::vector<int> late = scheduler.linesLate(limit);
            for (int c : late)
                *why += (why->empty() ? "not served within the limit: channel " : ", ") + std::to_string(c);
            return late.empty();
        };
        if (!http.start(
                address, port, [&metrics, gauges] { return metrics.render(gauges()); }, health, &error))
            logLine(error + ": no /metrics or /healthz");
        else
            logLine("HTTP: /metrics and /healthz on " + serve->http);
    }
    Running running{config, o, *serve, scheduler, modbus, mqtt.get()};
    serveUntilStopped(running);

    notifyStopping();
    logLine("stopping");
    http.stop();
    if (commands) commands->stop();
    scheduler.stop();
    modbus.stop();
    if (sparkplug) sparkplug->stop();
    if (mqtt) {
        mqtt->stop();
        logLine("outbox: " + std::to_string(outbox.count()) + " message(s) waiting for the broker");
    }
    const bool stopped = host.stop();
    logLine(stopped ? "stopped (driver state 0)" : "the driver did not report its stop in time");
    return stopped ? cli::EXIT_OK : cli::EXIT_REQUEST_FAILED;
}

}  // namespace hydrix::serve
