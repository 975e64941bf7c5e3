// The gateway as a Sparkplug B edge node, against a real mosquitto, every message decoded
// by an independent codec (Eclipse Tahu's, under node): births with units and quality,
// data, alarms and history from the outbox, the will on a killed gateway, bdSeq across
// runs, seq over every message (and its wrap after 255), rebirth, DDEATH of a silent
// station, and DCMD writes only with AllowWrites=1.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <map>
#include <set>
#include <thread>

#include "mqtt_harness.h"
#include "mqtt_stations.h"
#include "serve_harness.h"
#include "sparkplug_client.h"

namespace servetest {
namespace {

using nlohmann::json;

const std::string kNode = "spBv1.0/water/NBIRTH/works1";
const std::string kDeath = "spBv1.0/water/NDEATH/works1";

std::string sparkplugProfile(const Stations &stations, const Broker &broker, const std::string &outbox, bool writes,
                             int httpPort = 0) {
    const std::string http = httpPort ? "Http=127.0.0.1:" + std::to_string(httpPort) + "\n" : "";
    return stations.profile(broker, outbox,
                            http +
                                "Items=12:picture:1:0-2 every=1s, 12:setpoints:1-2 every=1s, 7:picture:1:1-2 every=1s\n"
                                "Alarms=12 every=1s, 7 every=1s\nHistory=12 every=1s\nModbus=off\n"
                                "Sparkplug=1\nSparkplugGroupId=water\nSparkplugEdgeNodeId=works1\nAllowWrites=" +
                                std::string(writes ? "1" : "0") + "\n") +
           "[Serve\\Tags]\n12:picture:1:2 = inlet_level, m, 0.01\n12:machine:2 = inlet_pump\n"
           "[Serve\\Alarms]\n301 = Inlet level high\n";
}

// Whether the device's DBIRTH came after the node's last NBIRTH.
bool bornSinceNodeBirth(const SparkplugHost &host, const std::string &device) {
    bool after = false, born = false;
    for (const json &m : host.messages()) {
        const std::string topic = m["topic"];
        if (topic == kNode) after = true, born = false;
        if (after && topic == "spBv1.0/water/DBIRTH/works1/" + device) born = true;
    }
    return born;
}

// Each alarm code the host got in a DDATA, with how often.
std::map<int64_t, int> alarmCounts(const SparkplugHost &host) {
    std::map<int64_t, int> counts;
    for (const json &m : host.on("DDATA/works1/"))
        if (const json code = metricOf(m, "Alarm/Code"); !code.is_null()) ++counts[code["value"].get<int64_t>()];
    return counts;
}

uint64_t bdSeqOf(const json &message) { return metricOf(message, "bdSeq").value("value", uint64_t{999}); }

// From each NBIRTH (seq 0) on, every message of the node carries the seq after the one
// before it, 255 followed by 0. Returns how many times it wrapped.
int expectSeqsInOrder(const std::vector<json> &all) {
    int wraps = 0;
    std::optional<uint64_t> last;
    for (const json &m : all) {
        const std::string topic = m["topic"];
        if (topic.find("/works1") == std::string::npos || topic.find("CMD/") != std::string::npos ||
            topic.find("NDEATH") != std::string::npos)
            continue;
        const uint64_t seq = m.value("seq", uint64_t{999});
        if (topic.find("NBIRTH") != std::string::npos) {
            EXPECT_EQ(seq, 0u) << "NBIRTH starts the count";
        } else if (last) {
            EXPECT_EQ(seq, (*last + 1) % 256) << topic;
            wraps += seq == 0 ? 1 : 0;
        }
        last = seq;
    }
    return wraps;
}

TEST(GatewaySparkplug, BirthsDataAlarmsAndHistoryAndTheWillOfAKilledGateway) {
    Stations stations;
    stations.setAlarms(12, {st::Alarm{301, {2026, 12, 1, 8, 0}}, st::Alarm{302, {2026, 12, 1, 8, 1}}});
    Broker broker;
    ASSERT_TRUE(broker.start());
    SparkplugHost host(broker.port());
    ASSERT_TRUE(host.subscribed());
    const TempOutbox outbox;
    std::map<int64_t, int> expected{{301, 1}, {302, 1}};
    const st::Model model7 = stations.sim(7).model();
    for (const st::Alarm &a : model7.find(7)->alarms) expected[a.code] = 1;
    const int httpPort = freePort();
    const TempFile ini(sparkplugProfile(stations, broker, outbox.path(), false, httpPort));
    {
        Gateway g({"--config", ini.path(), "serve"});
        const auto historyRecords = [&] {
            size_t n = 0;
            for (const json &m : host.on("DDATA/works1/12")) n += !metricOf(m, "History/1").is_null();
            return n;
        };
        ASSERT_TRUE(waitUntil(30000, [&] {
            return alarmCounts(host).size() >= 4 && historyRecords() > 0 && host.messages().size() > 20;
        })) << g.log();
        const auto metrics = httplib::Client("127.0.0.1", httpPort).Get("/metrics");
        ASSERT_TRUE(metrics);
        EXPECT_NE(metrics->body.find("\nhydrix_sparkplug_connected 1\n"), std::string::npos) << metrics->body;
        g.signal(SIGKILL);
        g.wait(5000);
        ASSERT_TRUE(waitUntil(10000, [&] { return !host.on(kDeath).empty(); })) << "no NDEATH from the will";

        // Births: the node's, then a device per station with every metric.
        const auto births = host.on(kNode);
        ASSERT_EQ(births.size(), 1u);
        EXPECT_FALSE(metricOf(births[0], "Node Control/Rebirth").is_null());
        const auto dbirth = host.on("DBIRTH/works1/12");
        ASSERT_FALSE(dbirth.empty());
        const json level = metricOf(dbirth[0], "inlet_level");
        ASSERT_FALSE(level.is_null()) << dbirth[0].dump();
        EXPECT_EQ(level["properties"].value("engUnit", ""), "m");
        EXPECT_EQ(level.value("type", ""), "Double");
        for (const char *name :
             {"picture1/0", "setpoint/1", "Alarm/Code", "Alarm/Text", "inlet_pump/Command", "Command/Result"})
            EXPECT_FALSE(metricOf(dbirth[0], name).is_null()) << name << " not born";
        EXPECT_FALSE(host.on("DBIRTH/works1/7").empty());

        // Data: the tagged value as served (scaled), good.
        const double raw = stations.sim(12).model().find(12)->pictures.at(1).values.at(2);
        std::optional<json> served;
        for (const json &m : host.on("/works1/12"))
            if (json v = metricOf(m, "inlet_level"); !v.is_null() && !v["isNull"].get<bool>()) served = v;
        ASSERT_TRUE(served);
        EXPECT_NEAR((*served)["value"].get<double>(), raw * 0.01, 1e-6 * std::max(1.0, raw));
        EXPECT_EQ((*served)["properties"].value("Quality", 0), 192);

        // Alarms, each once, with their text and the station's time; history as historical.
        EXPECT_EQ(alarmCounts(host), expected) << "each station alarm once";
        for (const json &m : host.on("DDATA/works1/12"))
            if (const json code = metricOf(m, "Alarm/Code"); !code.is_null() && code["value"] == 301) {
                EXPECT_EQ(metricOf(m, "Alarm/Text").value("value", ""), "Inlet level high");
                EXPECT_EQ(code.value("timestamp", uint64_t{0}), 1796112000000u) << "2026-12-01 08:00 station time";
            }
        for (const json &m : host.on("DDATA/works1/12"))
            if (const json h = metricOf(m, "History/1"); !h.is_null()) {
                EXPECT_TRUE(h["isHistorical"].get<bool>());
                EXPECT_GT(h.value("timestamp", uint64_t{0}), 0u);
            }
        EXPECT_TRUE(bornSinceNodeBirth(host, "12"));
        EXPECT_EQ(expectSeqsInOrder(host.messages()), 0);
        EXPECT_EQ(bdSeqOf(host.on(kDeath)[0]), bdSeqOf(births[0])) << "the will's bdSeq is its connection's";
    }
    // The next run's connection counts on.
    const uint64_t before = bdSeqOf(host.on(kNode)[0]);
    Gateway again({"--config", ini.path(), "serve"});
    ASSERT_TRUE(waitUntil(20000, [&] { return host.on(kNode).size() == 2; })) << again.log();
    EXPECT_EQ(bdSeqOf(host.on(kNode)[1]), (before + 1) % 256);
    again.signal(SIGTERM);
    EXPECT_EQ(again.wait(10000), 0) << again.log();
    // The clean stop's own NDEATH, and no will on top of it.
    EXPECT_TRUE(waitUntil(5000, [&] { return host.on(kDeath).size() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::string births;
    for (const json &m : host.messages())
        if (m["topic"] == kNode || m["topic"] == kDeath)
            births += m["topic"].get<std::string>() + " " + std::to_string(bdSeqOf(m)) + "\n";
    EXPECT_EQ(host.on(kDeath).size(), 2u) << births << again.log();
}

// Alarms and history the gateway takes while the broker is away wait in the outbox and
// reach the host application once the broker is back, each alarm once, after the births.
TEST(GatewaySparkplug, AlarmsTakenWhileTheBrokerIsAwayReachTheHostOnceAfterTheBirths) {
    Stations stations;
    stations.setAlarms(12, {st::Alarm{301, {2026, 12, 1, 8, 0}}, st::Alarm{302, {2026, 12, 1, 8, 1}}});
    stations.setAlarms(7, {st::Alarm{401, {2026, 12, 1, 9, 0}}});
    Broker broker;
    ASSERT_TRUE(broker.start());
    SparkplugHost host(broker.port(), "sparkplug-test-host");  // its session outlives the broker's restart
    ASSERT_TRUE(host.subscribed());
    broker.stop();
    const TempOutbox outbox;
    const TempFile ini(sparkplugProfile(stations, broker, outbox.path(), false));
    Gateway g({"--config", ini.path(), "serve"});
    // Taken from the stations (which forget them) with no broker there.
    ASSERT_TRUE(waitUntil(30000, [&] {
        return stations.sim(12).model().find(12)->alarms.empty() && stations.sim(7).model().find(7)->alarms.empty();
    })) << g.log();
    EXPECT_TRUE(host.on("DDATA").empty());
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(waitUntil(30000, [&] { return alarmCounts(host).size() == 3; })) << g.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // no copy after them
    EXPECT_EQ(alarmCounts(host), (std::map<int64_t, int>{{301, 1}, {302, 1}, {401, 1}}));
    // The node's birth first.
    const auto all = host.messages();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0]["topic"], kNode);
    EXPECT_EQ(expectSeqsInOrder(host.messages()), 0);
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0) << g.log();
}

TEST(GatewaySparkplug, RebirthSeqWrapDeviceDeathAndCommandsOnlyWithWrites) {
    Stations stations;
    stations.setAlarms(12, {});
    stations.setAlarms(7, {});
    Broker broker;
    ASSERT_TRUE(broker.start());
    SparkplugHost host(broker.port());
    ASSERT_TRUE(host.subscribed());
    const TempOutbox outbox;
    const json setpoint = json::array({{{"name", "setpoint/2"}, {"type", "Double"}, {"value", 4.5}}});
    const std::string dcmd = "spBv1.0/water/DCMD/works1/12";
    const auto results = [&] {
        std::vector<json> out;
        for (const json &m : host.on("DDATA/works1/12"))
            if (const json r = metricOf(m, "Command/Result"); !r.is_null())
                out.push_back(json::parse(r["value"].get<std::string>()));
        return out;
    };
    {
        const TempFile ini(sparkplugProfile(stations, broker, outbox.path(), false));
        Gateway g({"--config", ini.path(), "serve"});
        // (The DCMD subscription goes to the broker before the births.)
        ASSERT_TRUE(waitUntil(20000, [&] { return !host.on("DBIRTH/works1/12").empty(); })) << g.log();

        // Writes off: refused, in Command/Result, and no station hears of it. 300 of
        // them carry the seq past 255.
        ASSERT_TRUE(host.publish(dcmd, setpoint, 300));
        ASSERT_TRUE(waitUntil(30000, [&] { return results().size() == 300; })) << results().size() << g.log();
        EXPECT_EQ(results()[0].value("ok", true), false);
        EXPECT_EQ(results()[0].value("cause", ""), "bad-request");
        EXPECT_NE(results()[0].value("text", "").find("AllowWrites=0"), std::string::npos);
        EXPECT_TRUE(stations.sim(12).setpointWrites().empty());

        // Rebirth: NBIRTH (seq 0) and every DBIRTH again.
        ASSERT_TRUE(
            host.publish("spBv1.0/water/NCMD/works1",
                         json::array({{{"name", "Node Control/Rebirth"}, {"type", "Boolean"}, {"value", true}}})));
        ASSERT_TRUE(waitUntil(10000, [&] { return host.on(kNode).size() == 2; })) << g.log();
        EXPECT_TRUE(waitUntil(10000, [&] { return bornSinceNodeBirth(host, "12") && bornSinceNodeBirth(host, "7"); }));

        // A silent station dies and is born again when it answers.
        st::Faults silent;
        silent.v6Framing = true;
        silent.silent = true;
        stations.sim(7).setFaults(silent);
        ASSERT_TRUE(waitUntil(60000, [&] { return !host.on("DDEATH/works1/7").empty(); })) << g.log();
        EXPECT_TRUE(host.on("DDEATH/works1/12").empty());
        const size_t births7 = host.on("DBIRTH/works1/7").size();
        st::Faults answering;
        answering.v6Framing = true;
        stations.sim(7).setFaults(answering);
        EXPECT_TRUE(waitUntil(60000, [&] { return host.on("DBIRTH/works1/7").size() == births7 + 1; })) << g.log();

        g.signal(SIGTERM);
        EXPECT_EQ(g.wait(10000), 0) << g.log();
        EXPECT_GE(expectSeqsInOrder(host.messages()), 1) << "the seq wrapped";
    }
    // Writes on: the station gets the setpoint (as the station's number: no scale here)
    // and the machine command, each confirmed in Command/Result.
    const TempFile ini(sparkplugProfile(stations, broker, outbox.path(), true));
    const size_t nodeBirths = host.on(kNode).size();
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(waitUntil(20000, [&] {
        return host.on(kNode).size() == nodeBirths + 1 && bornSinceNodeBirth(host, "12");
    })) << g.log();
    const size_t before = results().size();
    ASSERT_TRUE(host.publish(dcmd, setpoint));
    ASSERT_TRUE(
        host.publish(dcmd, json::array({{{"name", "inlet_pump/Command"}, {"type", "String"}, {"value", "start"}}})));
    ASSERT_TRUE(waitUntil(30000, [&] { return results().size() == before + 2; })) << g.log();
    EXPECT_EQ(results()[before].value("ok", false), true) << results()[before].dump();
    EXPECT_EQ(results()[before + 1].value("ok", false), true) << results()[before + 1].dump();
    const auto writes = stations.sim(12).setpointWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].number, 2);
    ASSERT_EQ(stations.sim(12).machineCommands().size(), 1u);
    EXPECT_EQ(stations.sim(12).machineCommands()[0].letter, 'M');
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0) << g.log();
}

}  // namespace
}  // namespace servetest
