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

TEST(SetupErrors, EachGetsOneClearLineAndExitCodeTwo) {
    TempFile malformed("[Driver]\nDebug=0\n[Chan0\nNodes=12\n"), noV6Device("[Chan1]\nHYDRIXDefault=0\nNodes=7\n"),
        missingPort("[Chan0]\nNodes=12\nPort=/dev/ttyHydrixNone\n[Chan0\\Node12]\nPlantNumber=12\n"),
        noPort("[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n");
    const auto picture = [](const std::string &config, const std::string &node) {
        return std::vector<std::string>{"--config", config, "picture", "-n", node};
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {picture("/nonexistent/site.ini", "12"), "/nonexistent/site.ini: cannot read the profile"},
        {picture(malformed.path(), "12"), malformed.path() + ":3: section header without ']'"},
        {picture(noV6Device.path(), "7"), "[Chan1]: the v6 engine needs a DeviceName key"},
        {{"picture", "-n", "99"}, "unknown node 99"},
        {{"picture", "-c", "1", "-n", "12"}, "unknown node 12 on channel 1"},
        {{"report", "-c", "5", "-n", "12"}, "unknown channel 5"},
        {{"poll", "12:picture"}, "bad item '12:picture'"},
        {picture(missingPort.path(), "12"), "channel 0: cannot open the port: /dev/ttyHydrixNone does not exist"},
        {picture(noPort.path(), "12"), "channel 0 has no Port key"},
        {{"--library", "/nonexistent/libhydrix.so", "picture", "-n", "12"},
         "cannot load the driver library /nonexistent/libhydrix.so"},
        {{"history", "-n", "12", "--from", "yesterday"}, "--from \"yesterday\""}};
    for (const auto &[args, text] : cases) {
        const Result run = runHydrix(args);
        EXPECT_EQ(run.exitCode, 2) << text;
        EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;  // one line
    }
}

// What the tool says when the station fails or refuses, engine by engine: the cause and
// the words. (Which triple the driver gives each failure is its engines' tests' to pin;
// here the first case shows the triple reaching the output.)
TEST(StationErrors, FailuresAreNamed) {
    struct Case {
        bool v6;
        std::string fault;  // "silent", "bcc" (a wrong block check), or a word to answer
        std::vector<std::string> args;
        std::string cause;
        std::string text;
        bool exact = true;  // the message starts with the text; else it only has to appear in it
        bool tried = true;  // a request that failed for good with its triple says its tries
    };
    const std::vector<Case> cases = {
        {false, "silent", {"picture", "-n", "12", "--count", "2"}, "no-reply", "no reply within 5 s"},
        {false, "bcc", {"setpoints", "-n", "12"}, "damaged-reply", "block check mismatch", false},
        {false, "bcc", {"picture", "-n", "12", "--count", "2"}, "damaged-reply", "block check mismatch", false},
        {false, "NDA", {"picture", "-n", "12", "--count", "2"}, "no-data", "no data (the station answered NDA)"},
        {false, "SCE", {"command", "start", "-n", "12"}, "refused", "station refused the telegram (SCE)"},
        {false, "NDA", {"report", "-n", "12"}, "no-data", "no data (the station answered NDA)"},
        {true, "bcc", {"picture", "-n", "7"}, "damaged-reply", "block check mismatch", false},
        {true, "NDA", {"report", "-n", "7"}, "no-data", "no data (the station answered NDA)", true, false},
        // The station answers SCE for a setpoint it does not have.
        {true,
         "",
         {"write-setpoint", "-n", "7", "-s", "99", "--value", "1", "--type", "0"},
         "refused",
         "station refused the telegram (SCE)",
         true,
         false},
        {true,
         "",
         {"write-setpoint", "-n", "7", "-s", "10", "--value", "1"},
         "bad-request",
         "setpoint 10 is a text; texts cannot be written",
         true,
         false}};
    StationLine telegramLine(false), v6Line(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.at(0) + (c.v6 ? " on v6" : " on telegram"));
        StationLine &line = c.v6 ? v6Line : telegramLine;
        st::Faults f;
        f.silent = c.fault == "silent";
        f.wrongBcc = c.fault == "bcc";
        if (c.fault.size() == 3) f.forceReply = c.fault;
        line.setFaults(f);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--json");
        const Result run = line.run(args);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        const auto records = run.json();
        ASSERT_EQ(records.size(), 1u) << run.out;
        EXPECT_TRUE(records[0].at("value").is_null());
        const json e = records[0].at("error");
        EXPECT_EQ(e.value("cause", ""), c.cause);
        if (&c == &cases.front()) {
            EXPECT_EQ(json::array({e.at("group"), e.at("code"), e.at("sub")}), json::array({20, 17666, 0}));
        }
        const std::string text = e.value("text", "");
        EXPECT_TRUE(c.exact ? text.rfind(c.text, 0) == 0 : text.find(c.text) != std::string::npos) << text;
        // A request that failed for good says how often it was tried and how long it took.
        if (c.tried) {
            EXPECT_NE(text.find(" (1 try, "), std::string::npos) << text;
        }
    }
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
