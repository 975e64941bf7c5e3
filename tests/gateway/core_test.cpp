// The gateway's parts in-process: the latest-value store and its qualities as the register
// map serves them, and the outbox that holds alarms and history until the broker has them.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "check.h"
#include "common/temp_path.h"
#include "config.h"
#include "mqtt_commands.h"
#include "outbox.h"
#include "register_map.h"
#include "serve_config.h"
#include "store.h"

namespace {

namespace cli = hydrix::cli;
namespace gw = hydrix::serve;
using gw::Clock;
using gw::Quality;

// A section of one item, picture 1 values 1-3 of node 12, read every 10 s (stale after 60 s).
gw::ServeConfig oneItem() {
    const std::string path = tempPath("hydrix-core");
    std::ofstream(path) << "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\n"
                           "Items=12:picture:1:1-3 every=10s\nModbus=127.0.0.1:1502\n";
    std::string error;
    std::vector<cli::Finding> findings;
    auto config = cli::loadConfig(path, false, &error, &findings);
    std::remove(path.c_str());
    if (!config) throw std::runtime_error(error);
    auto serve = gw::parseServe(gw::serveEntries(), *config, &findings);
    if (!serve) throw std::runtime_error("the section did not parse");
    return *serve;
}

float floatAt(const uint16_t *regs) { return gw::decodeFloat(regs, gw::WordOrder::ABCD); }

TEST(GatewayStore, ItemsReadAsNeverReadGoodFailingAndStaleWithTheLastGoodValuesKept) {
    const gw::ServeConfig serve = oneItem();
    std::string error;
    const auto map = gw::buildMap(serve, &error);
    ASSERT_TRUE(map) << error;
    const gw::Block &block = map->units.at(0).blocks.at(0);
    gw::Store store;
    const std::string &item = serve.items.at(0).name;
    store.declare(item, 1, 3);
    const auto t0 = Clock::now();
    uint16_t regs[16] = {};

    // Never read: the values answer 0x0B, the status block says so.
    EXPECT_EQ(gw::readRegisters(*map, store, 12, block.values, 6, t0, regs), gw::kGatewayTarget);
    ASSERT_EQ(gw::readRegisters(*map, store, 12, block.status, 1, t0, regs), 0);
    EXPECT_EQ(regs[0], static_cast<uint16_t>(Quality::NeverRead));

    const auto changed = store.good(item, {{1, 1.5}, {2, 2.5}, {3, -7}}, 1000, t0);
    EXPECT_EQ(changed.size(), 3u);
    ASSERT_EQ(gw::readRegisters(*map, store, 12, block.values, 6 + gw::kStatusRegisters, t0, regs), 0);
    EXPECT_EQ(floatAt(regs), 1.5f);
    EXPECT_EQ(floatAt(regs + 4), -7.0f);
    EXPECT_EQ(regs[6], static_cast<uint16_t>(Quality::Good));
    EXPECT_TRUE(store.good(item, {{1, 1.5}, {2, 2.5}, {3, -7}}, 1010, t0).empty()) << "nothing changed";

    // A failed read keeps the last good values and shows the error.
    EXPECT_TRUE(store.failed(item, {20, 17666, 0}, "no reply within 5 s", 1020, t0 + std::chrono::seconds(10)));
    ASSERT_EQ(
        gw::readRegisters(*map, store, 12, block.values, 6 + gw::kStatusRegisters, t0 + std::chrono::seconds(10), regs),
        0);
    EXPECT_EQ(floatAt(regs + 2), 2.5f);
    EXPECT_EQ(regs[6], static_cast<uint16_t>(Quality::Failing));
    uint16_t code[2] = {regs[6 + 5], regs[6 + 6]};
    EXPECT_EQ((uint32_t{code[0]} << 16) | code[1], 17666u);

    // Older than the limit: stale, and the values are refused rather than shown as fresh.
    const auto late = t0 + std::chrono::seconds(static_cast<int>(block.staleLimit) + 1);
    EXPECT_EQ(gw::readRegisters(*map, store, 12, block.values, 2, late, regs), gw::kGatewayTarget);
    ASSERT_EQ(gw::readRegisters(*map, store, 12, block.status, 1, late, regs), 0);
    EXPECT_EQ(regs[0], static_cast<uint16_t>(Quality::Stale));
    EXPECT_EQ(gw::readRegisters(*map, store, 99, 0, 1, late, regs), gw::kGatewayPath);
}

class GatewayOutbox : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char *suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
        for (const auto &e : std::filesystem::directory_iterator("/tmp"))
            if (e.path().string().rfind(path + ".corrupt-", 0) == 0) std::filesystem::remove(e.path());
    }
    std::vector<gw::OutMessage> messages(int n, const std::string &topic = "hydrix/12/alarms") {
        std::vector<gw::OutMessage> out;
        for (int i = 0; i < n; ++i) out.push_back({0, topic, "{\"code\":" + std::to_string(i) + "}"});
        return out;
    }
    std::string path = tempPath("hydrix-outbox");
};

// Each front end (sink) takes its own messages off and marks only its own as sent: the
// Sparkplug copies of alarms wait whatever the MQTT topics' copies do.
TEST_F(GatewayOutbox, KeepsMessagesAndResumePointsAcrossARestartAndMarksThoseSentBeforePerSink) {
    std::string error;
    {
        gw::Outbox box;
        ASSERT_TRUE(box.open(path, &error)) << error;
        auto batch = messages(3);
        for (auto m : messages(2, "12")) {
            m.sink = gw::Sink::Sparkplug;
            batch.push_back(m);
        }
        ASSERT_TRUE(box.add(batch, gw::Outbox::Resume{0, 12, 5000}, &error, gw::Outbox::LastAlarm{0, 12, "ALR 12 2"}))
            << error;
        auto pending = box.pending(0, 10);
        ASSERT_EQ(pending.size(), 3u) << "the MQTT topics' own";
        EXPECT_FALSE(pending[0].sentBefore);
        ASSERT_TRUE(box.markSent(pending[1].id));  // the first two went on the wire
        EXPECT_TRUE(box.remove(pending[0].id));    // the broker acknowledged the first
        EXPECT_EQ(box.pending(pending[1].id, 10).size(), 1u);
        const auto sparkplug = box.pending(0, 10, gw::Sink::Sparkplug);
        ASSERT_EQ(sparkplug.size(), 2u);
        ASSERT_TRUE(box.markSent(sparkplug[0].id, gw::Sink::Sparkplug));
        ASSERT_TRUE(box.setNumber("sparkplug.bdSeq", 7));
    }
    gw::Outbox box;  // the next run
    ASSERT_TRUE(box.open(path, &error)) << error;
    const auto pending = box.pending(0, 10);
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].payload, "{\"code\":1}");
    EXPECT_TRUE(pending[0].sentBefore) << "sent and never acknowledged: may be at the broker";
    EXPECT_FALSE(pending[1].sentBefore);
    const auto sparkplug = box.pending(0, 10, gw::Sink::Sparkplug);
    ASSERT_EQ(sparkplug.size(), 2u);
    EXPECT_TRUE(sparkplug[0].sentBefore);
    EXPECT_FALSE(sparkplug[1].sentBefore) << "marked by the other sink's mark";
    EXPECT_EQ(sparkplug[1].sink, gw::Sink::Sparkplug);
    EXPECT_EQ(box.count(), 4u);
    EXPECT_EQ(box.number("sparkplug.bdSeq", -1), 7);
    EXPECT_EQ(box.number("unset", -1), -1);
    EXPECT_EQ(box.resumePoints().at({0, 12}), 5000);
    EXPECT_EQ(box.lastAlarms().at({0, 12}), "ALR 12 2");
}

TEST_F(GatewayOutbox, AtItsLimitItRefusesWholeBatchesAndAnUnreadableFileIsMovedAside) {
    std::ofstream(path) << "this is no database, but it is long enough to look like a file of one";
    std::string error, note;
    gw::Outbox box;
    ASSERT_TRUE(box.open(path, &error, &note)) << error;
    EXPECT_NE(note.find("moved aside to " + path + ".corrupt-"), std::string::npos) << note;
    box.limit(4);
    ASSERT_TRUE(box.add(messages(3), std::nullopt, &error));
    std::string why;
    EXPECT_TRUE(box.writable(&why)) << why;
    EXPECT_FALSE(box.add(messages(2), gw::Outbox::Resume{0, 12, 9000}, &error)) << "over the limit";
    EXPECT_NE(error.find("full"), std::string::npos) << error;
    EXPECT_EQ(box.count(), 3u);
    EXPECT_TRUE(box.resumePoints().empty()) << "a refused batch moves no resume point";
    ASSERT_TRUE(box.add(messages(1), std::nullopt, &error));
    EXPECT_FALSE(box.writable(&why));
    EXPECT_NE(why.find("OutboxLimit"), std::string::npos) << why;
}

}  // namespace

namespace {

// What a message on a command topic asks for, and what is refused before any station hears
// of it: a typo must never reach a pump.
TEST(GatewayMqttCommands, OnlyWellFormedCommandsForServedSetpointsBecomeRequests) {
    const gw::ServeConfig base = oneItem();
    gw::ServeConfig serve = base;
    gw::Item setpoints = serve.items.at(0);
    setpoints.query.what = cli::What::Setpoints;
    setpoints.first = 1;
    setpoints.count = 4;
    serve.items.push_back(setpoints);
    const std::string path = tempPath("hydrix-commands");
    std::ofstream(path) << "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n";
    std::string error;
    std::vector<cli::Finding> findings;
    const auto config = cli::loadConfig(path, false, &error, &findings);
    std::remove(path.c_str());
    ASSERT_TRUE(config) << error;
    const auto parse = [&](const std::string &topic, const std::string &payload, std::string *why) {
        return gw::parseCommand("site", topic, payload, *config, serve, {}, why);
    };
    std::string why;
    auto write = parse("site/12/setpoint/2/set", "4.5", &why);
    ASSERT_TRUE(write) << why;
    EXPECT_EQ(write->query.what, cli::What::WriteSetpoint);
    EXPECT_EQ(write->query.setpoint, 2);
    EXPECT_EQ(write->query.value, 4.5);
    EXPECT_EQ(write->query.target.node, 12u);
    auto start = parse("site/0-12/command/3/set", "start", &why);
    ASSERT_TRUE(start) << why;
    EXPECT_EQ(start->query.letter, 'M');
    EXPECT_EQ(start->query.machine, 3);
    EXPECT_EQ(gw::resultTopic("site/12/command/3/set"), "site/12/command/3/result");

    const std::vector<std::tuple<std::string, std::string, std::string>> refused = {
        {"site/12/setpoint/2/set", "4,5", ""},          // no number
        {"site/12/setpoint/9/set", "1", "not served"},  // outside the served setpoints
        {"site/12/setpoint/0/set", "1", "1 to 127"},
        {"site/13/setpoint/2/set", "1", "no station"},
        {"site/12/command/3/set", "star", "no command"},
        {"site/12/command/256/set", "start", "1 to 255"},
        {"site/12/command/+3/set", "start", "1 to 255"},
        {"other/12/command/3/set", "start", "not a command topic"},
        {"site/12/picture/3/set", "1", "not a command topic"},
    };
    for (const auto &[topic, payload, part] : refused) {
        SCOPED_TRACE(topic + " " + payload);
        why.clear();
        EXPECT_FALSE(parse(topic, payload, &why));
        EXPECT_FALSE(why.empty());
        EXPECT_NE(why.find(part), std::string::npos) << why;
    }
}

}  // namespace

namespace {

// A tagged value reads as the station's number times its scale, and the map names it.
TEST(GatewayRegisterMap, TaggedValuesReadScaledAndTheMapNamesThem) {
    gw::ServeConfig serve = oneItem();
    const std::string item = serve.items.at(0).name;
    serve.tags[{item, 2}] = gw::Tag{"inlet_level", "m", 0.5};
    gw::Item setpoints = serve.items.at(0);
    setpoints.name = "0/12:setpoints:1-2";
    setpoints.query.what = cli::What::Setpoints;
    setpoints.first = 1;
    setpoints.count = 2;
    serve.items.push_back(setpoints);
    serve.tags[{setpoints.name, 2}] = gw::Tag{"pump_speed", "%", 0.1};
    std::string error;
    const auto map = gw::buildMap(serve, &error);
    ASSERT_TRUE(map) << error;
    gw::Store store;
    store.declare(item, 1, 3);
    store.good(item, {{1, 10}, {2, 10}, {3, 10}}, 1000, Clock::now());
    uint16_t regs[6] = {};
    const gw::Block &block = map->units.at(0).blocks.at(0);
    ASSERT_EQ(gw::readRegisters(*map, store, 12, block.values, 6, Clock::now(), regs), 0);
    EXPECT_EQ(floatAt(regs), 10.0f);
    EXPECT_EQ(floatAt(regs + 2), 5.0f) << "value 2 times its scale";
    const std::string json = gw::mapText(*map, cli::Format::Json);
    EXPECT_NE(json.find("\"meaning\":\"value 2: inlet_level [m] (station's number x 0.5)\",\"name\":\"inlet_level\","
                        "\"unitOfMeasure\":\"m\",\"scale\":0.5"),
              std::string::npos)
        << json;
    // A write to the tagged setpoint is divided by its scale on its way to the station.
    const gw::Block &sp = map->units.at(0).blocks.at(1);
    const auto place = gw::setpointAt(*map, 12, sp.values + 2);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->setpoint, 2);
    EXPECT_EQ(place->scale, 0.1);
}

}  // namespace
