// The [Serve] section is checked like the rest of the profile: each bad value is one
// error naming file, line and key, `hydrix check` lists it and `hydrix serve` does not
// start on it.
#include <gtest/gtest.h>

#include "serve_harness.h"

namespace servetest {
namespace {

const std::string kChannels =  // lines 1-6
    "[Chan0]\nNodes=12, 300\n[Chan0\\Node12]\nPlantNumber=12\n[Chan1]\nHYDRIXDefault=0\n";

TEST(GatewayProfile, EveryBadServeValueIsOneErrorNamingFileLineAndKey) {
    struct Case {
        std::string lines;     // after "...Nodes=7\n[Serve]\n": line 10 on
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
        // What serve would refuse or run to no purpose, check says as well.
        {"Modbus=127.0.0.1:1502\n", 10, "error", "Modbus", "[Serve] has nothing to serve"},
        {"Items=12:report:1-5\nModbus=off\n", 10, "warning", "Items", "neither Modbus= nor Mqtt= is set"},
        {"Alarms=12\n", 10, "warning", "Alarms", "Alarms and History need Mqtt=: without it they are not fetched"},
        {"Items=12:report:1-5 every=5m\nStaleAfter=1m\nModbus=127.0.0.1:1502\n", 11, "warning", "StaleAfter",
         "item '0/12:report:1-5' is read every 300 s: its values would be stale between two reads"},
        {"Items=12:report:1-5\nModbus=127.0.0.1:1502\nMqttPasword=x\n", 12, "warning", "MqttPasword",
         "unknown key (nothing reads it): did you mean MqttPassword?"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        const TempFile ini(kChannels + "DeviceName=SIM1\nNodes=7\n[Serve]\n" + c.lines);
        const std::string where = ini.path() + ":" + std::to_string(c.line) + ": " + c.kind + ": [Serve] " + c.key + " = ";
        const auto lineOf = [&](const std::string &text) {
            const size_t at = text.find(where);
            return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
        };
        const Outcome check = runHydrix({"--config", ini.path(), "check"});
        EXPECT_NE(lineOf(check.out).find(c.why), std::string::npos) << check.out;
        const bool error = std::string(c.kind) == "error";
        EXPECT_EQ(check.exitCode, error ? 2 : 0) << check.out;
        EXPECT_NE(check.out.find(error ? ": 1 error," : ": 0 errors, 1 warning"), std::string::npos) << check.out;
        if (!error) continue;
        // The gateway does not start on it; the message is the same.
        const Outcome serve = runHydrix({"--config", ini.path(), "--simulate", "serve", "--modbus", "off"});
        EXPECT_EQ(serve.exitCode, 2);
        EXPECT_NE(lineOf(serve.err).find(c.why), std::string::npos) << serve.err;
        EXPECT_EQ(serve.err.find("started"), std::string::npos) << serve.err;
    }
}

TEST(GatewayProfile, CommandLineFrontEndsAreCheckedAndTheBuiltInAndExampleSectionsAreClean) {
    for (const char *bad : {"--modbus=1502", "--mqtt=host:", "--modbus=:1502"}) {
        const Outcome r = runHydrix({"serve", bad});
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_NE(r.err.find("write "), std::string::npos) << r.err;
    }
    const Outcome check = runHydrix({"check"});
    EXPECT_EQ(check.exitCode, 0) << check.out;
    const std::string example = std::string(HYDRIX_SOURCE_DIR) + "/examples/hydrix-gateway.ini";
    const Outcome exampleCheck = runHydrix({"--config", example, "check"});
    EXPECT_NE(exampleCheck.out.find(example + ": 0 errors, 0 warnings"), std::string::npos) << exampleCheck.out;
    const Outcome map = runHydrix({"serve", "--print-map"});
    EXPECT_EQ(map.exitCode, 0);
    EXPECT_NE(map.out.find("unit 12: channel 0 node 12"), std::string::npos) << map.out;
    EXPECT_NE(map.out.find("unit 7: channel 1 node 7"), std::string::npos) << map.out;
}

}  // namespace
}  // namespace servetest
