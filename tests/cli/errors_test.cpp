// Bad input and failing stations: one clear message, an error object in the JSON output
// and a nonzero exit code, never a crash or a hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "cli_harness.h"

namespace clitest {
namespace {

namespace st = hydrix::station;
using nlohmann::json;

::testing::AssertionResult setupError(const Result &run, const std::string &text) {
    if (run.exitCode != 2) return ::testing::AssertionFailure() << "exit " << run.exitCode << ": " << run.err;
    if (run.err.find(text) == std::string::npos)
        return ::testing::AssertionFailure() << "no '" << text << "' in: " << run.err;
    if (std::count(run.err.begin(), run.err.end(), '\n') != 1)
        return ::testing::AssertionFailure() << "not one line: " << run.err;
    return ::testing::AssertionSuccess();
}

TEST(SetupErrors, EachGetsOneClearLineAndExitCodeTwo) {
    EXPECT_TRUE(setupError(runHydrix({"--config", "/nonexistent/site.ini", "picture", "-n", "12"}),
                           "/nonexistent/site.ini: cannot read the profile"));
    TempFile malformed("[Driver]\nDebug=0\n[Chan0\nNodes=12\n");
    EXPECT_TRUE(setupError(runHydrix({"--config", malformed.path(), "picture", "-n", "12"}),
                           malformed.path() + ":3: section header without ']'"));
    TempFile noV6Device("[Chan1]\nHYDRIXDefault=0\nNodes=7\n");
    EXPECT_TRUE(setupError(runHydrix({"--config", noV6Device.path(), "picture", "-n", "7"}),
                           "[Chan1]: the v6 engine needs a DeviceName key"));
    EXPECT_TRUE(setupError(runHydrix({"picture", "-n", "99"}), "unknown node 99"));
    EXPECT_TRUE(setupError(runHydrix({"picture", "-c", "1", "-n", "12"}), "unknown node 12 on channel 1"));
    EXPECT_TRUE(setupError(runHydrix({"report", "-c", "5", "-n", "12"}), "unknown channel 5"));
    EXPECT_TRUE(setupError(runHydrix({"poll", "12:picture"}), "bad item '12:picture'"));
    TempFile missingPort("[Chan0]\nNodes=12\nPort=/dev/ttyHydrixNone\n");
    EXPECT_TRUE(setupError(runHydrix({"--config", missingPort.path(), "picture", "-n", "12"}),
                           "channel 0: cannot open the port: /dev/ttyHydrixNone does not exist"));
    TempFile noPort("[Chan0]\nNodes=12\n");
    EXPECT_TRUE(setupError(runHydrix({"--config", noPort.path(), "picture", "-n", "12"}),
                           "channel 0 has no Port key"));
    EXPECT_TRUE(setupError(runHydrix({"--library", "/nonexistent/libhydrix.so", "picture", "-n", "12"}),
                           "cannot load the driver library /nonexistent/libhydrix.so"));
    EXPECT_TRUE(setupError(runHydrix({"history", "-n", "12", "--from", "yesterday"}), "--from \"yesterday\""));
}

// The one JSON record of a failed request, after checking the exit code.
json failedRecord(const Result &run) {
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const auto records = run.json();
    EXPECT_EQ(records.size(), 1u) << run.out;
    if (records.empty()) return json::object();
    EXPECT_TRUE(records[0].at("value").is_null());
    return records[0].at("error");
}

json triple(int group, int code, int sub) { return json::array({group, code, sub}); }
json tripleOf(const json &error) { return json::array({error.at("group"), error.at("code"), error.at("sub")}); }

TEST(StationErrors, TelegramEngineFailuresAreNamed) {
    StationLine line(false);
    auto run = [&](st::Faults f, std::vector<std::string> args) {
        line.setFaults(f);
        std::vector<std::string> all{"--config", line.profile(), "--json"};
        all.insert(all.end(), args.begin(), args.end());
        return runHydrix(all);
    };
    st::Faults silent;
    silent.silent = true;
    json e = failedRecord(run(silent, {"picture", "-n", "12", "--count", "2"}));
    EXPECT_EQ(tripleOf(e), triple(20, 17666, 0));
    EXPECT_EQ(e.at("text"), "no reply within 5 s");

    st::Faults badCheck;
    badCheck.wrongBcc = true;
    e = failedRecord(run(badCheck, {"setpoints", "-n", "12"}));
    EXPECT_EQ(tripleOf(e), triple(20, 17667, 3));
    EXPECT_NE(e.at("text").get<std::string>().find("block check mismatch"), std::string::npos);
    // A picture with a damaged reply comes back from the driver without values and
    // without an error; the tool still says why.
    e = failedRecord(run(badCheck, {"picture", "-n", "12", "--count", "2"}));
    EXPECT_NE(e.at("text").get<std::string>().find("block check mismatch"), std::string::npos);

    st::Faults refused;
    refused.forceReply = "SCE";
    e = failedRecord(run(refused, {"command", "start", "-n", "12"}));
    EXPECT_EQ(tripleOf(e), triple(41, 17677, 3));
    EXPECT_EQ(e.at("text"), "station refused the telegram (SCE)");

    st::Faults noData;
    noData.forceReply = "NDA";
    e = failedRecord(run(noData, {"report", "-n", "12"}));
    EXPECT_EQ(tripleOf(e), triple(41, 17676, 1));
    EXPECT_EQ(e.at("text"), "no data (the station answered NDA)");
}

TEST(StationErrors, V6EngineFailuresAreNamed) {
    StationLine line(true);
    auto run = [&](st::Faults f, std::vector<std::string> args) {
        line.setFaults(f);
        std::vector<std::string> all{"--config", line.profile(), "--json"};
        all.insert(all.end(), args.begin(), args.end());
        return runHydrix(all);
    };
    st::Faults badCheck;
    badCheck.wrongBcc = true;
    json e = failedRecord(run(badCheck, {"picture", "-n", "7"}));
    EXPECT_EQ(tripleOf(e), triple(20, 71, 0));
    EXPECT_NE(e.at("text").get<std::string>().find("block check mismatch"), std::string::npos);

    st::Faults noData;
    noData.forceReply = "NDA";
    e = failedRecord(run(noData, {"report", "-n", "7"}));
    EXPECT_EQ(e.at("text"), "no data (the station answered NDA)");

    // The station answers SCE for a setpoint it does not have.
    e = failedRecord(run({}, {"write-setpoint", "-n", "7", "-s", "99", "--value", "1", "--type", "0"}));
    EXPECT_EQ(e.at("text"), "station refused the telegram (SCE)");
    e = failedRecord(run({}, {"write-setpoint", "-n", "7", "-s", "10", "--value", "1"}));
    EXPECT_EQ(e.at("text"), "setpoint 10 is a text; texts cannot be written");
}

TEST(Signals, InterruptStopsAPollCleanly) {
    Child poll({"poll", "-i", "1"});
    ASSERT_TRUE(poll.waitForOutput(20000));
    poll.interrupt();
    const auto start = std::chrono::steady_clock::now();
    const Result run = poll.wait(15000);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(run.out.find("picture 1"), std::string::npos);
}

}  // namespace
}  // namespace clitest
