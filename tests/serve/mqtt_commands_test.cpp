// Setpoint writes and machine commands over MQTT against a real mosquitto: only with
// AllowWrites=1 does a command reach a station; each gets its result on the result topic,
// a refusal by the station with its cause.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "mqtt_harness.h"
#include "mqtt_stations.h"
#include "serve_harness.h"

namespace servetest {
namespace {

void publish(const Broker &broker, const std::string &topic, const std::string &payload) {
    const std::string cmd = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(broker.port()) + " -q 1 -t '" + topic +
                            "' -m '" + payload + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

nlohmann::json lastResult(Subscriber &sub, const std::string &topic) {
    const std::string payload = lastPayload(sub, topic);
    return payload.empty() ? nlohmann::json() : nlohmann::json::parse(payload);
}

TEST(GatewayMqttCommands, ACommandReachesTheStationOnlyWithAllowWritesAndItsResultComesBack) {
    Stations stations;
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber results(broker.port(), "hydrix/+/+/+/result");
    ASSERT_TRUE(waitUntil(5000, [&] { return results.subscribed(); }));
    const TempOutbox outbox;
    const std::string serve = "Items=12:setpoints:1-4 every=1h\nModbus=off\nAllowWrites=";
    {
        const TempFile ini(stations.profile(broker, outbox.path(), serve + "0\n"));
        Gateway g({"--config", ini.path(), "serve"});
        ASSERT_TRUE(g.waitForLog("MQTT: connected to")) << g.log();
        publish(broker, "hydrix/12/command/2/set", "start");
        std::this_thread::sleep_for(std::chrono::seconds(2));
        EXPECT_TRUE(stations.sim(12).machineCommands().empty()) << "a command reached the station with writes off";
        EXPECT_EQ(results.count("/result"), 0u);
        g.signal(SIGTERM);
        EXPECT_EQ(g.wait(10000), 0);
    }
    const TempFile ini(stations.profile(broker, outbox.path(), serve + "1\n"));
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(g.waitForLog("MQTT: commands taken on")) << g.log();
    ASSERT_TRUE(g.waitForLog("MQTT: connected to")) << g.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the subscription is on its way

    publish(broker, "hydrix/12/setpoint/2/set", "4.5");
    ASSERT_TRUE(waitUntil(20000, [&] { return !lastResult(results, "hydrix/12/setpoint/2/result").is_null(); }))
        << g.log();
    EXPECT_EQ(lastResult(results, "hydrix/12/setpoint/2/result").value("ok", false), true) << g.log();
    const auto writes = stations.sim(12).setpointWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].number, 2);

    publish(broker, "hydrix/12/command/2/set", "start");
    ASSERT_TRUE(waitUntil(20000, [&] { return !lastResult(results, "hydrix/12/command/2/result").is_null(); }));
    EXPECT_EQ(lastResult(results, "hydrix/12/command/2/result").value("ok", false), true) << g.log();
    ASSERT_EQ(stations.sim(12).machineCommands().size(), 1u);
    EXPECT_EQ(stations.sim(12).machineCommands()[0].letter, 'M');

    // Refused before any station hears of it, and refused by the station.
    publish(broker, "hydrix/12/command/3/set", "sart");
    ASSERT_TRUE(waitUntil(10000, [&] { return !lastResult(results, "hydrix/12/command/3/result").is_null(); }));
    EXPECT_EQ(lastResult(results, "hydrix/12/command/3/result").value("cause", ""), "bad-request");
    hydrix::station::Faults sce;
    sce.forceReply = "SCE";
    stations.sim(12).setFaults(sce);
    publish(broker, "hydrix/12/command/4/set", "stop");
    ASSERT_TRUE(waitUntil(20000, [&] { return !lastResult(results, "hydrix/12/command/4/result").is_null(); }));
    const auto refused = lastResult(results, "hydrix/12/command/4/result");
    EXPECT_EQ(refused.value("ok", true), false);
    EXPECT_EQ(refused.value("cause", ""), "refused") << refused.dump();
    EXPECT_EQ(stations.sim(12).machineCommands().size(), 2u) << "the refused one reached the station once";
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
}

}  // namespace
}  // namespace servetest
