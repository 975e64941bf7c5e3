// The gateway's long run: `hydrix serve` on eight simulated lines (four per engine), every
// station fault on at random, new alarms and history records coming all the time, the
// MQTT broker restarted every sixth of the run and the gateway killed with SIGKILL twice
// and started again. At the end the faults stop, the stations are emptied, and every
// alarm and history record the stations held is looked for on the broker: a table says
// how many arrived once, how many copies came with the MQTT DUP flag (the client
// library's resend within a connection) or with "dup":true in the payload (the outbox's
// resend after a restart), and how many were lost or copied without a mark. The gateway is
// a Sparkplug B edge node on the same broker as well: a second table books what a
// Sparkplug host application got in DDATA, copies marked by the "dup" property.
//
//   bench_gateway_run [--minutes M] [--seed S] [--keep DIR]
//
// Exit status 0 only when nothing was lost and no copy came unmarked.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "serve/mqtt_harness.h"
#include "serve/serve_harness.h"
#include "sparkplug_payload.h"
#include "station/station.h"

namespace {

namespace st = hydrix::station;
using Clock = std::chrono::steady_clock;
using servetest::Broker;
using servetest::Gateway;
using servetest::Subscriber;

constexpr int kLines = 8;  // 0..3 telegram engine, 4..7 v6

struct Line {
    int channel = 0, node = 0;
    bool v6 = false;
    std::optional<st::Pty> pty;
    std::unique_ptr<st::Simulator> sim;
    std::set<int> alarms;           // codes put at the station
    std::set<std::string> history;  // record times put at the station (ISO, UTC)
    int nextAlarm = 1, nextRecord = 0;
};

struct Options {
    double minutes = 30;
    uint64_t seed = 1;
    std::string keep;  // a directory for the logs; none: a temporary one, removed
};

st::LocalTime localTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min};
}

std::string isoUtc(std::time_t t) {
    char buf[32];
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void say(Clock::time_point start, const std::string &what) {
    std::fprintf(stderr, "%7.1f s  %s\n", secondsSince(start), what.c_str());
}

// Every fault the simulator knows, at the fault soak's rates.
st::FaultRates faultsOn(uint64_t seed) {
    st::FaultRates r;
    r[st::FaultKind::WrongBcc] = 0.02;
    r[st::FaultKind::Silence] = 0.005;
    r[st::FaultKind::Junk] = 0.02;
    r[st::FaultKind::Dc3Storm] = 0.03;
    r[st::FaultKind::Split] = 0.03;
    r[st::FaultKind::Late] = 0.005;
    r.seed = seed;
    return r;
}

// History records are stamped a minute apart from 20 hours before the start, so each has
// its own time and all lie inside the gateway's first fetch.
std::time_t g_historyBase = 0;

void addAlarm(Line &l, std::mt19937_64 &rng) {
    const int code = l.nextAlarm++;
    st::Alarm a{code, localTime(std::time(nullptr))};
    a.second = std::uniform_int_distribution<int>(0, 59)(rng);
    l.sim->editModel([&](st::Model &m) { m.find(l.node)->alarms.push_back(a); });
    l.alarms.insert(code);
}

void addRecord(Line &l) {
    const std::time_t t = g_historyBase + 60 * l.nextRecord;
    st::HistoryRecord r{localTime(t), {double(l.nextRecord), double(l.node)}};
    ++l.nextRecord;
    l.sim->editModel([&](st::Model &m) { m.find(l.node)->history.push_back(r); });
    l.history.insert(isoUtc(t));
}

std::vector<std::unique_ptr<Line>> makeLines(uint64_t seed) {
    const st::Model templ = st::defaultModel();
    std::vector<std::unique_ptr<Line>> lines;
    for (int c = 0; c < kLines; ++c) {
        auto l = std::make_unique<Line>();
        l->channel = c;
        l->v6 = c >= kLines / 2;
        l->node = (l->v6 ? 30 : 20) + c;
        std::string error;
        l->pty = st::Pty::open(&error);
        if (!l->pty) throw std::runtime_error(error);
        st::Plant p = *templ.find(l->v6 ? 7 : 12);
        p.plantNumber = l->node;
        p.history.clear();
        p.alarms.clear();
        st::Model m;
        m.plants = {p};
        l->sim = std::make_unique<st::Simulator>(l->pty->master(), m);
        l->sim->setKeepTelegrams(false);
        st::Faults f;
        f.v6Framing = l->v6;
        l->sim->setFaults(f);
        l->sim->setFaultRates(faultsOn(seed * 100 + static_cast<uint64_t>(c)));
        l->sim->start();
        lines.push_back(std::move(l));
    }
    return lines;
}

std::string profile(const std::vector<std::unique_ptr<Line>> &lines, const Broker &broker, const std::string &outbox) {
    std::string p = "[Driver]\nDebug=0\n";
    std::string items, alarms, history;
    for (const auto &l : lines) {
        const std::string c = std::to_string(l->channel), n = std::to_string(l->node);
        p += "[Chan" + c + "]\nRetries=2\nNodes=" + n + "\nPort=" + l->pty->slavePath() + "\n";
        if (l->v6)
            p += "HYDRIXDefault=0\nDeviceName=LINE" + c + "\n";
        else
            p += "[Chan" + c + "\\Node" + n + "]\nPlantNumber=" + n + "\n";
        const std::string sep = items.empty() ? "" : ", ";
        items += sep + n + ":picture:1:1-3 every=3s";
        alarms += sep + n + " every=3s";
        history += sep + n + " every=10s";
    }
    p += "[Serve]\nItems=" + items + "\nAlarms=" + alarms + "\nHistory=" + history +
         "\nHistoryFrom=-24h\nModbus=off\nMqtt=" + broker.address() + "\nOutbox=" + outbox +
         "\nSparkplug=1\nSparkplugGroupId=hydrix\nSparkplugEdgeNodeId=run\n";
    return p;
}

// What the broker's log says it received from the gateway on alarm and history topics.
struct Received {
    size_t publishes = 0, dupFlag = 0;
};
std::map<std::string, Received> brokerReceived(const std::string &log) {
    std::map<std::string, Received> out;
    for (size_t at = log.find("Received PUBLISH from "); at != std::string::npos;
         at = log.find("Received PUBLISH from ", at + 1)) {
        const std::string line = log.substr(at, log.find('\n', at) - at);
        const std::string kind = line.find("/alarms'") != std::string::npos    ? "alarms"
                                 : line.find("/history'") != std::string::npos ? "history"
                                                                               : "";
        if (kind.empty()) continue;
        ++out[kind].publishes;
        if (line.find("(d1,") != std::string::npos) ++out[kind].dupFlag;
    }
    return out;
}

// What the Sparkplug host got: alarms by (node, code) and history records by (node,
// time), each with how often, and how many of those copies were marked "dup".
struct SparkplugBooks {
    std::map<std::pair<int, int>, int> alarms;
    std::map<std::pair<int, std::string>, int> history;
    size_t marked = 0;
};
SparkplugBooks sparkplugBooks(Subscriber &sub) {
    SparkplugBooks b;
    for (const auto &r : sub.all()) {
        const auto p = hydrix::serve::sparkplug::decode(r.payload);
        const int node = std::atoi(r.topic.substr(r.topic.rfind('/') + 1).c_str());
        if (!p) continue;
        for (const auto &m : p->metrics) {
            if (m.name == "Alarm/Code" && std::holds_alternative<int64_t>(m.value))
                ++b.alarms[{node, static_cast<int>(std::get<int64_t>(m.value))}];
            else if (m.name == "History/0" && m.historical)
                ++b.history[{node, isoUtc(static_cast<std::time_t>(m.timestamp / 1000))}];
            else
                continue;
            b.marked += m.dup;
        }
    }
    return b;
}

struct Tally {
    size_t expected = 0, distinct = 0, missing = 0, strangers = 0;
    size_t payloads = 0, marked = 0;  // distinct payload texts; of them with "dup":true
};

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--minutes" && more)
            o.minutes = std::atof(argv[++i]);
        else if (a == "--seed" && more)
            o.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--keep" && more)
            o.keep = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_gateway_run [--minutes M] [--seed S] [--keep DIR]\n");
            std::exit(a == "--help" || a == "-h" ? 0 : 2);
        }
    }
    if (o.minutes <= 0) {
        std::fprintf(stderr, "bench_gateway_run: --minutes must be above 0\n");
        std::exit(2);
    }
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    const Options opt = parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    std::string dir = opt.keep;
    if (dir.empty()) {
        char tmpl[] = "/tmp/hydrix-gateway-run-XXXXXX";
        if (!mkdtemp(tmpl)) {
            std::perror("bench_gateway_run: mkdtemp");
            return 2;
        }
        dir = tmpl;
    } else if (std::system(("mkdir -p '" + dir + "'").c_str()) != 0) {
        std::fprintf(stderr, "bench_gateway_run: cannot make %s\n", dir.c_str());
        return 2;
    }
    const auto start = Clock::now();
    const double total = opt.minutes * 60;
    g_historyBase = std::time(nullptr) / 60 * 60 - 20 * 3600;
    std::mt19937_64 rng(opt.seed);

    auto lines = makeLines(opt.seed);
    for (auto &l : lines) {
        for (int i = 0; i < 3; ++i) addAlarm(*l, rng);
        for (int i = 0; i < 30; ++i) addRecord(*l);
    }
    Broker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "bench_gateway_run: mosquitto did not start\n");
        return 2;
    }
    Subscriber alarmsSub(broker.port(), "hydrix/+/alarms"), historySub(broker.port(), "hydrix/+/history");
    Subscriber sparkplugSub(broker.port(), "spBv1.0/hydrix/DDATA/run/+");
    servetest::waitUntil(
        5000, [&] { return alarmsSub.subscribed() && historySub.subscribed() && sparkplugSub.subscribed(); });
    const std::string outbox = dir + "/outbox.db", ini = dir + "/gateway.ini", gatewayLog = dir + "/gateway.log";
    std::ofstream(ini) << profile(lines, broker, outbox);
    std::ofstream(gatewayLog, std::ios::trunc).close();

    // With --keep, each gateway writes the driver's trace there too.
    int started = 0;
    const auto gatewayArgs = [&] {
        std::vector<std::string> args{"--config", ini};
        if (!opt.keep.empty())
            args.insert(args.end(), {"--trace", dir + "/trace-" + std::to_string(++started) + ".txt"});
        args.push_back("serve");
        return args;
    };
    auto gateway = std::make_unique<Gateway>(gatewayArgs());
    const auto keepLog = [&] {
        std::ofstream(gatewayLog, std::ios::app) << gateway->log() << "---- (gateway ended)\n";
    };
    say(start, "gateway started on " + std::to_string(kLines) + " lines; logs in " + dir);

    // Events: broker restarts at each sixth of the run, SIGKILLs between them.
    std::vector<double> restarts, kills{total * 0.25, total * 0.6};
    for (int k = 1; k < 6; ++k) restarts.push_back(total * k / 6);
    size_t nextRestart = 0, nextKill = 0;
    int restartsDone = 0, killsDone = 0;
    std::exponential_distribution<double> alarmGap(1.0 / 20), recordGap(1.0 / 8);
    std::vector<double> alarmDue(kLines), recordDue(kLines);
    for (int c = 0; c < kLines; ++c) {
        alarmDue[c] = alarmGap(rng);
        recordDue[c] = recordGap(rng);
    }
    double lastReport = 0;
    while (secondsSince(start) < total) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double now = secondsSince(start);
        for (int c = 0; c < kLines; ++c) {
            if (now >= alarmDue[c]) {
                addAlarm(*lines[c], rng);
                alarmDue[c] = now + alarmGap(rng);
            }
            if (now >= recordDue[c]) {
                addRecord(*lines[c]);
                recordDue[c] = now + recordGap(rng);
            }
        }
        if (nextRestart < restarts.size() && now >= restarts[nextRestart]) {
            ++nextRestart;
            broker.stop();
            say(start, "broker stopped");
            std::this_thread::sleep_for(std::chrono::seconds(5));
            if (!broker.start()) say(start, "broker did not start again");
            say(start, "broker started again");
            ++restartsDone;
        }
        if (nextKill < kills.size() && now >= kills[nextKill]) {
            ++nextKill;
            gateway->signal(SIGKILL);
            gateway->wait(5000);
            keepLog();
            say(start, "gateway killed (SIGKILL)");
            std::this_thread::sleep_for(std::chrono::seconds(2));
            gateway = std::make_unique<Gateway>(gatewayArgs());
            say(start, "gateway started again");
            ++killsDone;
        }
        if (now - lastReport >= 60) {
            lastReport = now;
            size_t waiting = 0;
            for (auto &l : lines) waiting += l->sim->model().find(l->node)->alarms.size();
            say(start, std::to_string(alarmsSub.count("/alarms")) + " alarm and " +
                           std::to_string(historySub.count("/history")) + " history message(s) on the broker, " +
                           std::to_string(waiting) + " alarm(s) waiting at the stations");
        }
    }

    // The quiet end: no more faults or new data; the stations are emptied and the outbox drains.
    say(start, "faults off: the stations are emptied");
    for (auto &l : lines) l->sim->setFaultRates(st::FaultRates{});
    size_t expectedAlarms = 0, expectedHistory = 0;
    for (auto &l : lines) {
        expectedAlarms += l->alarms.size();
        expectedHistory += l->history.size();
    }
    const bool drained = servetest::waitUntil(300000, [&] {
        for (auto &l : lines)
            if (!l->sim->model().find(l->node)->alarms.empty()) return false;
        std::set<std::string> alarmKeys, historyKeys;
        for (const auto &r : alarmsSub.all()) {
            const auto j = nlohmann::json::parse(r.payload, nullptr, false);
            if (j.is_object())
                alarmKeys.insert(std::to_string(j.value("node", 0)) + ":" + std::to_string(j.value("code", 0)));
        }
        for (const auto &r : historySub.all()) {
            const auto j = nlohmann::json::parse(r.payload, nullptr, false);
            if (j.is_object()) historyKeys.insert(std::to_string(j.value("node", 0)) + ":" + j.value("time", ""));
        }
        const SparkplugBooks sp = sparkplugBooks(sparkplugSub);
        return alarmKeys.size() >= expectedAlarms && historyKeys.size() >= expectedHistory &&
               sp.alarms.size() >= expectedAlarms && sp.history.size() >= expectedHistory;
    });
    servetest::waitUntil(20000, [&] { return gateway->log().find("outbox: empty, ") != std::string::npos; });
    gateway->signal(SIGTERM);
    const int exit = gateway->wait(15000);
    keepLog();
    say(start, std::string(drained ? "drained" : "NOT drained within 5 minutes") + "; gateway stopped with status " +
                   std::to_string(exit));

    // The books.
    std::map<std::string, Tally> tallies;
    std::map<std::pair<int, int>, int> alarmSeen;
    std::map<std::pair<int, std::string>, int> historySeen;
    std::set<std::string> alarmPayloads, historyPayloads;
    for (const auto &r : alarmsSub.all()) {
        alarmPayloads.insert(r.topic + " " + r.payload);
        const auto j = nlohmann::json::parse(r.payload, nullptr, false);
        if (j.is_object()) ++alarmSeen[{j.value("node", 0), j.value("code", 0)}];
    }
    for (const auto &r : historySub.all()) {
        historyPayloads.insert(r.topic + " " + r.payload);
        const auto j = nlohmann::json::parse(r.payload, nullptr, false);
        if (j.is_object()) ++historySeen[{j.value("node", 0), j.value("time", "")}];
    }
    Tally &a = tallies["alarms"], &h = tallies["history"];
    a.expected = expectedAlarms;
    h.expected = expectedHistory;
    std::set<std::pair<int, int>> alarmKeys;
    std::set<std::pair<int, std::string>> historyKeys;
    for (auto &l : lines) {
        for (int code : l->alarms) alarmKeys.insert({l->node, code});
        for (const std::string &t : l->history) historyKeys.insert({l->node, t});
    }
    for (const auto &key : alarmKeys) (alarmSeen.count(key) ? a.distinct : a.missing)++;
    for (const auto &key : historyKeys) (historySeen.count(key) ? h.distinct : h.missing)++;
    for (const auto &[key, n] : alarmSeen) a.strangers += !alarmKeys.count(key);
    for (const auto &[key, n] : historySeen) h.strangers += !historyKeys.count(key);
    a.payloads = alarmPayloads.size();
    h.payloads = historyPayloads.size();
    for (const auto &p : alarmPayloads) a.marked += p.find("\"dup\":true") != std::string::npos;
    for (const auto &p : historyPayloads) h.marked += p.find("\"dup\":true") != std::string::npos;
    const auto received = brokerReceived(broker.log());
    std::ofstream(dir + "/broker.log") << broker.log();

    int64_t faults[st::kFaultKinds] = {};
    for (auto &l : lines) {
        const st::Book b = l->sim->book();
        for (int k = 0; k < st::kFaultKinds; ++k) faults[k] += b.faults[k];
    }
    std::printf("\nGateway run: %g min, %d lines, %d broker restarts, %d SIGKILLs, seed %llu\n", opt.minutes, kLines,
                restartsDone, killsDone, static_cast<unsigned long long>(opt.seed));
    std::printf("Faults injected:");
    for (int k = 0; k < st::kFaultKinds; ++k)
        std::printf(" %s %lld", st::faultName(static_cast<st::FaultKind>(k)), static_cast<long long>(faults[k]));
    std::printf("\n\n| | alarms | history records |\n|---|---:|---:|\n");
    const auto row = [&](const char *name, size_t va, size_t vh) { std::printf("| %s | %zu | %zu |\n", name, va, vh); };
    const Received ra = received.count("alarms") ? received.at("alarms") : Received{};
    const Received rh = received.count("history") ? received.at("history") : Received{};
    const auto unmarked = [](const Received &r, const Tally &t) {
        const long long extra = static_cast<long long>(r.publishes - r.dupFlag) - static_cast<long long>(t.payloads);
        return static_cast<size_t>(std::max(0LL, extra));
    };
    row("put at the stations", a.expected, h.expected);
    row("on the broker", a.distinct, h.distinct);
    row("lost", a.missing, h.missing);
    row("PUBLISH received by the broker", ra.publishes, rh.publishes);
    row("sent again by the client library, with the MQTT DUP flag", ra.dupFlag, rh.dupFlag);
    row("sent again after a gateway restart, marked \"dup\":true", a.marked, h.marked);
    row("copies on the broker (PUBLISH received less those on it)", ra.publishes - std::min(ra.publishes, a.distinct),
        rh.publishes - std::min(rh.publishes, h.distinct));
    row("copies without either mark", unmarked(ra, a), unmarked(rh, h));
    row("not put at any station", a.strangers, h.strangers);
    // The same run through the Sparkplug node.
    const SparkplugBooks sp = sparkplugBooks(sparkplugSub);
    size_t spLost[2] = {}, spCopies[2] = {}, spStrangers[2] = {};
    for (const auto &key : alarmKeys) spLost[0] += !sp.alarms.count(key);
    for (const auto &key : historyKeys) spLost[1] += !sp.history.count(key);
    for (const auto &[key, n] : sp.alarms) spCopies[0] += n - 1, spStrangers[0] += !alarmKeys.count(key);
    for (const auto &[key, n] : sp.history) spCopies[1] += n - 1, spStrangers[1] += !historyKeys.count(key);
    std::printf("\nThrough the Sparkplug B node (DDATA at a host application):\n\n");
    std::printf("| | alarms | history records |\n|---|---:|---:|\n");
    row("at the host", sp.alarms.size() - spStrangers[0], sp.history.size() - spStrangers[1]);
    row("lost", spLost[0], spLost[1]);
    row("copies at the host", spCopies[0], spCopies[1]);
    std::printf("| copies marked \"dup\" (both kinds) | %zu | |\n", sp.marked);
    row("not put at any station", spStrangers[0], spStrangers[1]);
    const bool spOk = spLost[0] == 0 && spLost[1] == 0 && spCopies[0] + spCopies[1] <= sp.marked &&
                      spStrangers[0] == 0 && spStrangers[1] == 0;
    const bool ok = drained && a.missing == 0 && h.missing == 0 && unmarked(ra, a) == 0 && unmarked(rh, h) == 0 &&
                    a.strangers == 0 && h.strangers == 0 && spOk;
    std::printf("\n%s\n", ok ? "every alarm and history record reached the broker once or marked as a copy"
                             : "FAILED: see the table");
    for (auto &l : lines) l->sim->stop();
    if (opt.keep.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    return ok ? 0 : 1;
}
