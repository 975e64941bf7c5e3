// The [Serve] section through the programs: `hydrix check` lists a bad value and the
// gateway does not start on it; the command line's front ends are checked.
#include <gtest/gtest.h>

#include "serve_harness.h"

namespace servetest {
namespace {

const std::string kChannels =  // lines 1-6
    "[Chan0]\nNodes=12, 300\n[Chan0\\Node12]\nPlantNumber=12\n[Chan1]\nHYDRIXDefault=0\n";

// `hydrix check` and the gateway read the [Serve] section alike: a bad value is one error
// naming file, line and key, and the gateway does not start on it; a warning does not stop
// it. (Every bad value of the section is checked in-process: tests/gateway/section_test.cpp.)
TEST(GatewayProfile, CheckAndTheGatewayTellABadServeValueAlike) {
    struct Case {
        std::string lines;  // after "...Nodes=7\n[Serve]\n": line 10 on
        int line;
        const char *kind;
        std::string key, why;
    };
    const std::vector<Case> cases = {
        {"WordOrder=ABDC\n", 10, "error", "WordOrder", "must be ABCD"},
        {"Items=12:report:1-5\nModbus=127.0.0.1:1502\nIntervall=5s\n", 12, "warning", "Intervall", "unknown key"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        const TempFile ini(kChannels + "DeviceName=SIM1\nNodes=7\n[Serve]\n" + c.lines);
        const std::string where =
            ini.path() + ":" + std::to_string(c.line) + ": " + c.kind + ": [Serve] " + c.key + " = ";
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
