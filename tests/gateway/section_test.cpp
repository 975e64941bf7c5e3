// The [Serve] section is checked like the rest of the profile, in-process: each bad value
// is one finding naming file, line and key (what `hydrix check` prints and what stops the
// gateway before it starts).
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "check.h"
#include "common/temp_path.h"
#include "config.h"
#include "serve_config.h"

namespace {

namespace cli = hydrix::cli;

const std::string kChannels =  // lines 1-6
    "[Chan0]\nNodes=12, 300\n[Chan0\\Node12]\nPlantNumber=12\n[Chan1]\nHYDRIXDefault=0\n";

TEST(GatewaySection, EveryBadServeValueIsOneFindingNamingFileLineAndKey) {
    struct Case {
        std::string lines;  // after "...Nodes=7\n[Serve]\n": line 10 on
        int line;
        const char *kind;      // "error" or "warning"
        std::string key, why;  // the key named, and a part of the reason
    };
    const std::vector<Case> cases = {
        {"Items=12:picture:1\n", 10, "error", "Items", "item '12:picture:1' needs its values as FIRST-LAST"},
        {"Items=12:pictur:1:0-3\n", 10, "error", "Items", "bad item '12:pictur:1:0-3'"},
        {"Items=99:report:0-4\n", 10, "error", "Items", "unknown node 99"},
        {"Items=12:report:1-5 every=0s\n", 10, "error", "Items", "\"0s\" is no interval"},
        {"Items=12:report:1-5 every=2x\n", 10, "error", "Items", "\"2x\" is no interval"},
        {"Items=12:report:1-5 often\n", 10, "error", "Items", "one item and at most one every= per entry"},
        {"Items=12:report:1-5, 0/12:report:1-5\n", 10, "error", "Items", "item '0/12:report:1-5' is listed twice"},
        {"Items=7:picture:1:0-3\n", 10, "error", "Items", "the v6 engine numbers a picture's values from 1"},
        {"Items=12:report:0-4\n", 10, "error", "Items", "the telegram engine numbers the report's values from 1"},
        {"Items=12:setpoints:0-3\n", 10, "error", "Items", "setpoints are numbered 1 to 127"},
        {"Items=300:report:1-5\n", 10, "error", "Items", "node 300 (channel 0) needs a Modbus unit id"},
        {"Items=300:report:1-5, 12:report:1-5\nUnits=300:12\n", 10, "error", "Items", "would share Modbus unit 12"},
        {"Units=300:248\n", 10, "error", "Units", "a Modbus unit id is 1 to 247"},
        {"Units=x/300:30\n", 10, "error", "Units", "write [CHANNEL/]NODE:UNIT"},
        {"Every=fast\n", 10, "error", "Every", "\"fast\" is no interval"},
        {"WordOrder=ABDC\n", 10, "error", "WordOrder", "must be ABCD"},
        {"StaleAfter=-1\n", 10, "error", "StaleAfter", "\"-1\" is no interval"},
        {"AllowWrites=yes\n", 10, "error", "AllowWrites", "must be 0"},
        {"WriteClients=127.0.0.1, host\n", 10, "error", "WriteClients", "'host' is not an IPv4 address"},
        {"Modbus=localhost\n", 10, "error", "Modbus", "write ADDRESS:PORT"},
        {"Modbus=localhost:502\n", 10, "error", "Modbus", "the Modbus front end listens on an IPv4 address"},
        {"Mqtt=broker:0\n", 10, "error", "Mqtt", "write ADDRESS:PORT"},
        {"MqttPrefix=site/#\n", 10, "error", "MqttPrefix", "a topic prefix is not empty, has no '#'"},
        {"Alarms=12 every=1m, 8\n", 10, "error", "Alarms", "unknown node 8"},
        {"History=12\nHistoryFrom=2026-02-30 00:00\n", 11, "error", "HistoryFrom", "write a date"},
        {"Items=12:report:1-5\nModbus=127.0.0.1:1502\nIntervall=5s\n", 12, "warning", "Intervall", "unknown key"},
        {"OutboxLimit=-5\n", 10, "error", "OutboxLimit", "0 (no limit) to 100000000"},
        {"ModbusMaxClients=0\n", 10, "error", "ModbusMaxClients", "from 1 to 1000"},
        {"ModbusIdleTimeout=soon\n", 10, "error", "ModbusIdleTimeout", "\"soon\" is no interval"},
        {"Items=12:report:1-5\nMqtt=127.0.0.1:1883\nSparkplug=1\nSparkplugGroupId=a/b\nSparkplugEdgeNodeId=e\n", 13,
         "error", "SparkplugGroupId", "an id is not empty and has no '/'"},
        {"Items=12:report:1-5\nMqtt=127.0.0.1:1883\nSparkplug=yes\n", 12, "error", "Sparkplug", "must be 0"},
        // What serve would refuse or run to no purpose, check says as well.
        {"Modbus=127.0.0.1:1502\n", 10, "error", "Modbus", "[Serve] has nothing to serve"},
        {"Items=12:report:1-5\nModbus=off\n", 10, "warning", "Items", "neither Modbus= nor Mqtt= is set"},
        {"Alarms=12\n", 10, "warning", "Alarms", "Alarms and History need Mqtt=: without it they are not fetched"},
        {"Items=12:report:1-5 every=5m\nStaleAfter=1m\nModbus=127.0.0.1:1502\n", 11, "warning", "StaleAfter",
         "item '0/12:report:1-5' is read every 300 s: its values would be stale between two reads"},
        {"Items=12:report:1-5\nModbus=127.0.0.1:1502\nMqttPasword=x\n", 12, "warning", "MqttPasword",
         "unknown key (nothing reads it): did you mean MqttPassword?"},
        {"Items=12:report:1-5\nModbus=127.0.0.1:1502\nSparkplug=1\nSparkplugGroupId=g\nSparkplugEdgeNodeId=e\n", 12,
         "error", "Sparkplug", "Sparkplug=1 needs Mqtt="},
        {"Items=12:report:1-5\nMqtt=127.0.0.1:1883\nSparkplug=1\nSparkplugGroupId=g\n", 12, "error", "Sparkplug",
         "needs SparkplugGroupId= and SparkplugEdgeNodeId="},
    };
    cli::setServeSectionCheck(hydrix::serve::checkServeSection);
    const std::string path = tempPath("hydrix-section");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        std::ofstream(path) << kChannels + "DeviceName=SIM1\nNodes=7\n[Serve]\n" + c.lines;
        std::string error;
        std::vector<cli::Finding> findings;
        cli::loadConfig(path, false, &error, &findings, true);
        const std::string where = path + ":" + std::to_string(c.line) + ": " + c.kind + ": [Serve] " + c.key + " = ";
        const bool isError = std::string(c.kind) == "error";
        int errors = 0, warnings = 0, named = 0;
        std::string all;
        for (const cli::Finding &f : findings) {
            const std::string line = cli::findingLine(path, f);
            all += line + "\n";
            (f.error ? errors : warnings) += 1;
            named += line.rfind(where, 0) == 0 && line.find(c.why) != std::string::npos;
        }
        EXPECT_EQ(named, 1) << all;
        EXPECT_EQ(errors, isError ? 1 : 0) << all;  // an error may come with a warning of its own
        if (!isError) {
            EXPECT_EQ(warnings, 1) << all;
        }
    }
    std::remove(path.c_str());
}

}  // namespace

namespace {

// [Serve\Tags] names served values (a range gets _<number> after the name) with a unit and
// a scale; [Serve\Alarms] gives alarm codes their texts, per station or for all. Each bad
// line is one finding with its line.
TEST(GatewaySection, TagsNameServedValuesAndAlarmsGetTheirTexts) {
    cli::setServeSectionCheck(hydrix::serve::checkServeSection);
    const std::string path = tempPath("hydrix-tags");
    std::ofstream(path) << kChannels +
                               "DeviceName=SIM1\nNodes=7\n[Serve]\n"           // lines 7-9
                               "Items=12:picture:1:1-4, 7:report:0-4\n"        // 10
                               "Modbus=127.0.0.1:1502\nMqtt=127.0.0.1:1883\n"  // 11-12
                               "[Serve\\Tags]\n"                               // 13
                               "12:picture:1:3 = inlet_level, m, 0.01\n"       // 14
                               "7:report:1-2 = flow, m3/h\n"                   // 15
                               "12:picture:1:9 = nowhere\n"                    // 16: not served
                               "12:picture:1:2 = 2bad\n"                       // 17: bad name
                               "12:picture:1:1 = ok, m, zero\n"                // 18: bad scale
                               "[Serve\\Alarms]\n"                             // 19
                               "301 = Inlet level high\n"                      // 20
                               "7:301 = Station 7 level high\n"                // 21
                               "12:x = nothing\n"                              // 22
                               "[Serve\\Tags]\n"                               // 23
                               "12:machine:300 = pump\n";                      // 24: no such machine
    std::string error;
    std::vector<cli::Finding> findings;
    auto config = cli::loadConfig(path, false, &error, &findings, true);
    std::map<int, std::string> byLine;
    for (const cli::Finding &f : findings) byLine[f.line] = cli::findingLine(path, f);
    EXPECT_NE(byLine[16].find("value 9 is in no item of Items"), std::string::npos) << byLine[16];
    EXPECT_NE(byLine[17].find("a name is letters, digits and _"), std::string::npos) << byLine[17];
    EXPECT_NE(byLine[18].find("'zero' is no scale"), std::string::npos) << byLine[18];
    EXPECT_NE(byLine[22].find("write CODE or [CHANNEL/]NODE:CODE"), std::string::npos) << byLine[22];
    EXPECT_NE(byLine[24].find("machine 1 to 255"), std::string::npos) << byLine[24];
    EXPECT_EQ(byLine.size(), 5u) << "no other line is wrong, and no section is unknown";

    // The good lines, as the gateway reads them.
    std::ofstream(path, std::ios::trunc)
        << kChannels +
               "DeviceName=SIM1\nNodes=7\n[Serve]\n"
               "Items=12:picture:1:1-4, 7:report:0-4\nModbus=127.0.0.1:1502\n"
               "[Serve\\Tags]\n12:picture:1:3 = inlet_level, m, 0.01\n"
               "7:report:1-2 = flow, m3/h\n12:machine:2 = inlet_pump\n[Serve\\Alarms]\n"
               "301 = Inlet level high\n7:301 = Station 7 level high\n";
    findings.clear();
    config = cli::loadConfig(path, false, &error, &findings);
    ASSERT_TRUE(config) << error;
    auto serve = hydrix::serve::parseServe(hydrix::serve::serveEntries(), *config, &findings);
    std::remove(path.c_str());
    ASSERT_TRUE(serve);
    const auto *level = serve->tagOf(serve->items.at(0).name, 3);
    ASSERT_TRUE(level);
    EXPECT_EQ(level->name, "inlet_level");
    EXPECT_EQ(level->unit, "m");
    EXPECT_EQ(level->scale, 0.01);
    EXPECT_EQ(serve->tagOf(serve->items.at(0).name, 2), nullptr);
    ASSERT_TRUE(serve->tagOf(serve->items.at(1).name, 2));
    EXPECT_EQ(serve->tagOf(serve->items.at(1).name, 2)->name, "flow_2");
    EXPECT_EQ(serve->alarmText(1, 7, 301), "Station 7 level high");
    EXPECT_EQ(serve->alarmText(0, 12, 301), "Inlet level high");
    EXPECT_EQ(serve->alarmText(0, 12, 302), "");
    EXPECT_EQ(serve->machineTags.at({0, 12u, 2}), "inlet_pump");
}

}  // namespace
