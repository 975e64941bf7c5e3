// What the broker holds of the gateway's values: topics that two stations never share,
// qualities that follow the line, retained topics that go with their items, and client
// ids that two gateways on one host do not share.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <set>
#include <nlohmann/json.hpp>
#include <thread>

#include "mqtt_harness.h"
#include "mqtt_stations.h"
#include "serve_harness.h"

namespace servetest {
namespace {

std::string simulatedProfile(const Broker &broker, const TempOutbox &outbox, const std::string &serve) {
    return "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\n" + serve +
           "Modbus=off\nMqtt=" + broker.address() + "\nOutbox=" + outbox.path() + "\n";
}

TEST(GatewayMqttTopics, TwoGatewaysOfOneHostKeepTheirConnectionsAndAClashingIdIsReported) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    const TempOutbox outboxA, outboxB;
    const std::string items = "Items=12:picture:1:0-2 every=1s\n";
    {
        // Two profiles, no MqttClientId: each has an id of its own.
        const TempFile a(simulatedProfile(broker, outboxA, items)), b(simulatedProfile(broker, outboxB, items));
        Gateway ga({"--config", a.path(), "--simulate", "serve"});
        Gateway gb({"--config", b.path(), "--simulate", "serve"});
        ASSERT_TRUE(ga.waitForLog("MQTT: connected to") && gb.waitForLog("MQTT: connected to")) << ga.log() << gb.log();
        std::this_thread::sleep_for(std::chrono::seconds(4));
        EXPECT_EQ(ga.log().find("lost"), std::string::npos) << ga.log();
        EXPECT_EQ(gb.log().find("lost"), std::string::npos) << gb.log();
        ga.signal(SIGTERM);
        gb.signal(SIGTERM);
        EXPECT_EQ(ga.wait(10000), 0);
        EXPECT_EQ(gb.wait(10000), 0);
    }
    // One id given to both: the broker hands the connection back and forth, and that is
    // said instead of going on silently.
    const TempFile a(simulatedProfile(broker, outboxA, items + "MqttClientId=same\n")),
        b(simulatedProfile(broker, outboxB, items + "MqttClientId=same\n"));
    Gateway ga({"--config", a.path(), "--simulate", "serve"});
    Gateway gb({"--config", b.path(), "--simulate", "serve"});
    const std::string said = "another client may use the client id 'same'";
    EXPECT_TRUE(waitUntil(
        40000, [&] { return ga.log().find(said) != std::string::npos || gb.log().find(said) != std::string::npos; }))
        << ga.log() << gb.log();
    ga.signal(SIGTERM);
    gb.signal(SIGTERM);
    EXPECT_EQ(ga.wait(10000), 0);
    EXPECT_EQ(gb.wait(10000), 0);
}

TEST(GatewayMqttTopics, ANodeNumberOnTwoChannelsGetsTopicsOfItsOwnOnEach) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/#");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempOutbox outbox;
    const TempFile ini(
        "[Chan0]\nNodes=12, 7\n[Chan0\\Node12]\nPlantNumber=12\n[Chan0\\Node7]\nPlantNumber=7\n"
        "[Chan1]\nHYDRIXDefault=0\nDeviceName=LINE\nNodes=7\n[Serve]\n"
        "Items=0/7:picture:1:0-2 every=1s, 1/7:picture:1:1-2 every=1s, 12:picture:1:0-2 every=1s\n"
        "Units=1/7:17\nModbus=off\nMqtt=" +
        broker.address() + "\nOutbox=" + outbox.path() + "\n");
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(waitUntil(20000, [&] {
        return !lastPayload(sub, "hydrix/0-7/picture1/1").empty() &&
               !lastPayload(sub, "hydrix/1-7/picture1/1").empty() && !lastPayload(sub, "hydrix/12/picture1/1").empty();
    })) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    for (const Received &r : sub.all()) EXPECT_EQ(r.topic.rfind("hydrix/7/", 0), std::string::npos) << r.topic;
}

TEST(GatewayMqttTopics, ValuesSayFailingThenStaleWithTheTimeOfTheLastGoodReadAndGoodAgain) {
    Stations stations;
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/12/#");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path(), "Items=12:picture:1:0-2 every=1s\nStaleAfter=4s\n"));
    Gateway g({"--config", ini.path(), "serve"});
    const std::string topic = "hydrix/12/picture1/1";
    // The payloads of the value's topic in the order they came.
    const auto payloads = [&] {
        std::vector<nlohmann::json> out;
        for (const Received &r : sub.all())
            if (r.topic == topic && !r.payload.empty()) out.push_back(nlohmann::json::parse(r.payload));
        return out;
    };
    const auto saw = [&](const std::string &quality) {
        for (const auto &j : payloads())
            if (j.at("quality") == quality) return true;
        return false;
    };
    ASSERT_TRUE(waitUntil(15000, [&] { return saw("good"); })) << g.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // reads that change nothing
    st::Faults silent;
    silent.silent = true;
    stations.sim(12).setFaults(silent);
    ASSERT_TRUE(waitUntil(40000, [&] { return saw("stale"); })) << g.log();
    stations.sim(12).setFaults({});
    ASSERT_TRUE(waitUntil(30000, [&] { return payloads().back().at("quality") == "good"; })) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);

    // good, failing, stale, good: the bad ones carry the value and the time of the last
    // good read (later than the value's last change), the good one after them a newer time.
    std::vector<std::string> order;
    std::map<std::string, std::string> timeOf;  // quality -> time, first payload of each
    for (const auto &j : payloads()) {
        const std::string q = j.at("quality");
        if (!order.empty() && order.back() == q) continue;
        order.push_back(q);
        timeOf.emplace(q, j.at("time"));
        if (q != "good") {
            EXPECT_EQ(j.at("value").get<double>(), 2.5);
        }
    }
    EXPECT_GT(timeOf["failing"], timeOf["good"]);
    EXPECT_EQ(timeOf["stale"], timeOf["failing"]);
    EXPECT_GT(payloads().back().at("time").get<std::string>(), timeOf["failing"]);
    EXPECT_EQ(order, (std::vector<std::string>{"good", "failing", "stale", "good"}));
}

TEST(GatewayMqttTopics, SighupClearsTheRetainedTopicsOfRemovedItemsAndNamesSettingsThatNeedARestart) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/#");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempOutbox outbox;
    const TempFile ini(simulatedProfile(broker, outbox, "Items=12:picture:1:0-2 every=1s, 12:report:1-2 every=1s\n"));
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(waitUntil(15000, [&] { return !lastPayload(sub, "hydrix/12/report/2").empty(); })) << g.log();
    ini.write(
        "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\nItems=12:picture:1:0-2 every=1s\n"
        "Modbus=127.0.0.1:1599\nMqtt=" +
        broker.address() + "\nMqttPrefix=other\nOutbox=" + outbox.path() + "\n");
    g.signal(SIGHUP);
    ASSERT_TRUE(g.waitForLog("item list reread: 1 item(s)")) << g.log();
    EXPECT_NE(g.log().find("Modbus=127.0.0.1:1599 takes effect at the next start"), std::string::npos) << g.log();
    EXPECT_NE(g.log().find("the MQTT settings and Outbox take effect at the next start"), std::string::npos);
    EXPECT_TRUE(waitUntil(5000, [&] {
        return lastPayload(sub, "hydrix/12/report/1").empty() && lastPayload(sub, "hydrix/12/report/2").empty();
    })) << "the removed item's values stay retained";
    EXPECT_FALSE(lastPayload(sub, "hydrix/12/picture1/1").empty());
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    // A new subscriber gets what the broker retained: nothing of the removed item.
    Subscriber late(broker.port(), "hydrix/12/report/#");
    ASSERT_TRUE(waitUntil(5000, [&] { return late.subscribed(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(late.all().size(), 0u);
}

// A line goes offline only when its station does not answer or its port fails: a station
// that answers a malformed report (a failure whose words name the report) stays online.
TEST(GatewayMqttTopics, AMalformedReportKeepsTheLineOnlineASilentStationTakesItOffline) {
    Stations stations;
    stations.sim(12).editModel([](st::Model &m) { m.find(12)->reportRows = {{1, 2, 3, 4}}; });  // not rows of 5
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/channel/+/status");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path(), "Items=12:report:1-4 every=1s\nModbus=off\n"));
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(g.waitForLog("report reply is malformed")) << g.log();
    const int64_t asked = stations.sim(12).book().requests;
    ASSERT_TRUE(waitUntil(10000, [&] { return stations.sim(12).book().requests >= asked + 3; })) << g.log();
    EXPECT_EQ(g.log().find("line offline"), std::string::npos) << g.log();
    EXPECT_NE(lastPayload(sub, "hydrix/channel/0/status"), "offline");

    st::Faults silent;
    silent.silent = true;
    stations.sim(12).setFaults(silent);
    ASSERT_TRUE(g.waitForLog("channel 0: line offline", 30000)) << g.log();
    EXPECT_TRUE(waitUntil(5000, [&] { return lastPayload(sub, "hydrix/channel/0/status") == "offline"; }));
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
}

// RepublishEvery: a value that does not change still reaches a time-series consumer at each
// interval, with the time of its last good read (read once an hour here).
TEST(GatewayMqttTopics, RepublishEverySendsEachValueAgainWithTheTimeOfItsLastGoodRead) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/12/picture1/1");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempOutbox outbox;
    const TempFile ini(simulatedProfile(broker, outbox, "Items=12:picture:1:0-2 every=1h\nRepublishEvery=1s\n"));
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(waitUntil(15000, [&] { return sub.count("picture1/1") >= 4; })) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    std::set<std::string> times;
    for (const Received &r : sub.all()) times.insert(nlohmann::json::parse(r.payload).at("time").get<std::string>());
    EXPECT_EQ(times.size(), 1u) << "one read, so one time of the last good read";
}

// Tags and alarm texts reach MQTT: a tagged value carries its name and unit and is the
// station's number times its scale; an alarm with a text carries it.
TEST(GatewayMqttTopics, TaggedValuesCarryNameUnitAndScaleAndAlarmsTheirText) {
    Stations stations;
    stations.setAlarms(12, {st::Alarm{301, {2026, 12, 1, 8, 0}}, st::Alarm{302, {2026, 12, 1, 8, 1}}});
    stations.setAlarms(7, {});
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/12/#");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempOutbox outbox;
    const TempFile ini(
        stations.profile(broker, outbox.path(), "Items=12:picture:1:1-2 every=1s\nAlarms=12 every=1s\nModbus=off\n") +
        "[Serve\\Tags]\n12:picture:1:2 = inlet_level, m, 0.01\n[Serve\\Alarms]\n301 = Inlet level high\n");
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(waitUntil(20000, [&] {
        return !lastPayload(sub, "hydrix/12/picture1/2").empty() && sub.count("/alarms") >= 2;
    })) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    const auto value = nlohmann::json::parse(lastPayload(sub, "hydrix/12/picture1/2"));
    const double raw = stations.sim(12).model().find(12)->pictures.at(1).values.at(2);
    EXPECT_EQ(value.value("name", ""), "inlet_level");
    EXPECT_EQ(value.value("unit", ""), "m");
    EXPECT_NEAR(value.at("value").get<double>(), raw * 0.01, 1e-6 * std::max(1.0, raw));
    EXPECT_EQ(nlohmann::json::parse(lastPayload(sub, "hydrix/12/picture1/1")).count("name"), 0u)
        << "value 1 has no tag";
    std::map<int, std::string> texts;
    for (const Received &r : sub.all())
        if (r.topic == "hydrix/12/alarms") {
            const auto j = nlohmann::json::parse(r.payload);
            texts[j.at("code").get<int>()] = j.value("text", "");
        }
    EXPECT_EQ(texts[301], "Inlet level high");
    EXPECT_EQ(texts[302], "") << "an alarm without a text has none";
}

// Home Assistant discovery: a retained config per tagged value, with what the discovery
// schema requires (a sensor its state topic, a number and a button their command topic),
// availability on the gateway's and the line's status, one device per station; numbers and
// the buttons of named machines only where writes are allowed.
TEST(GatewayMqttTopics, HomeAssistantDiscoveryConfigsForEveryTaggedValue) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    for (const bool writes : {false, true}) {
        SCOPED_TRACE(writes ? "writes allowed" : "writes off");
        Subscriber sub(broker.port(), "homeassistant/#");
        ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
        const TempOutbox outbox;
        const TempFile ini(
            simulatedProfile(broker, outbox,
                             "Items=12:picture:1:1-2 every=1s, 12:setpoints:1-2 every=1h\nHaDiscovery=1\n"
                             "AllowWrites=" +
                                 std::string(writes ? "1" : "0") + "\n") +
            "[Serve\\Tags]\n12:picture:1:2 = inlet_level, m, 0.01\n12:setpoints:1 = start_level, m\n"
            "12:machine:2 = inlet_pump\n");
        Gateway g({"--config", ini.path(), "--simulate", "serve"});
        ASSERT_TRUE(waitUntil(10000, [&] { return sub.count("/config") >= (writes ? 6u : 4u); })) << g.log();
        g.signal(SIGTERM);
        EXPECT_EQ(g.wait(10000), 0);
        // The broker's retained configs as a new Home Assistant would find them: the last
        // message on each topic, an empty one removing it (the first round's sensor of a
        // setpoint that is a number now).
        std::map<std::string, std::string> last;
        for (const Received &r : sub.all()) last[r.topic] = r.payload;
        std::map<std::string, nlohmann::json> configs;
        for (const auto &[topic, payload] : last)
            if (!payload.empty()) configs[topic] = nlohmann::json::parse(payload);
        ASSERT_EQ(configs.size(), writes ? 4u : 2u);
        const auto &sensor = configs.at("homeassistant/sensor/hydrix_12_inlet_level/config");
        EXPECT_EQ(sensor.at("state_topic"), "hydrix/12/picture1/2");
        EXPECT_EQ(sensor.at("unit_of_measurement"), "m");
        EXPECT_EQ(sensor.at("name"), "inlet_level");
        EXPECT_EQ(sensor.at("value_template"), "{{ value_json.value }}");
        EXPECT_EQ(sensor.at("availability").at(1).at("topic"), "hydrix/channel/0/status");
        EXPECT_EQ(sensor.at("device").at("identifiers").at(0), "hydrix_12");
        const std::string setpoint =
            std::string("homeassistant/") + (writes ? "number" : "sensor") + "/hydrix_12_start_level/config";
        ASSERT_TRUE(configs.count(setpoint)) << setpoint;
        EXPECT_EQ(configs.at(setpoint).contains("command_topic"), writes);
        if (writes) {
            EXPECT_EQ(configs.at(setpoint).at("command_topic"), "hydrix/12/setpoint/1/set");
            // A named machine: a start and a stop button on its command topic.
            const auto &start = configs.at("homeassistant/button/hydrix_12_inlet_pump_start/config");
            EXPECT_EQ(start.at("command_topic"), "hydrix/12/command/2/set");
            EXPECT_EQ(start.at("payload_press"), "start");
            EXPECT_EQ(configs.at("homeassistant/button/hydrix_12_inlet_pump_stop/config").at("payload_press"), "stop");
        }
    }
}

}  // namespace
}  // namespace servetest
