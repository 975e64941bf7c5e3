// Values typed on the command line are checked before anything reaches a station: one
// clear message, exit code 2, and not a single telegram on the line.
#include <gtest/gtest.h>

#include <algorithm>

#include "cli_harness.h"

namespace clitest {
namespace {

void expectRefused(const Result &run, const std::string &text) {
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
}

TEST(Inputs, BadNumbersNeverReachTheStation) {
    using Args = std::vector<std::string>;
    const auto write = [](const std::string &value) {
        return Args{"write-setpoint", "-n", "", "-s", "2", "--value", value};
    };
    const std::vector<std::pair<Args, std::string>> cases = {
        {write("NaN"), "--value \"NaN\": a setpoint takes a finite number"},
        {write("inf"), "--value \"inf\""},
        {write("-inf"), "--value \"-inf\""},
        {write("1e40"), "--value \"1e40\""},
        {write("3e9"), "--value \"3e9\""},
        {write(""), "--value \"\""},
        {write("3,5"), "--value \"3,5\""},
        {{"poll", "", "-i", "1e10"}, "interval \"1e10\""},
        {{"poll", "", "-i", "1e308"}, "interval \"1e308\""},
        {{"poll", "", "-i", "nan"}, "interval \"nan\""},
        {{"poll", "", "-i", "0"}, "interval \"0\": give the seconds between rounds, from 0.1 to 86400"},
        {{"poll", "12:picture:1:0-600"}, "(at most 500 values)"},
        {{"history", "-n", "", "--from", "2026-02-30 00:00"}, "--from \"2026-02-30 00:00\""},
        {{"history", "-n", "", "--from", "2025-02-29 00:00"}, "--from \"2025-02-29 00:00\""},
        {{"history", "-n", "", "--from", "-999999999999999999999h"}, "--from \"-999999999999999999999h\""},
        {{"history", "-n", "", "--from", "1999-12-31 23:00Z"}, "a date from 2000 on"},
        {{"setpoints", "-n", "", "--first", "0"}, "--first: Value 0 not in range 1 to 127"},
        {{"setpoints", "-n", "", "--first", "100000", "--count", "2"}, "--first: Value 100000 not in range"},
        {{"setpoints", "-n", "", "--first", "120", "--count", "10"}, "the list ends at setpoint 127"},
        {{"picture", "-n", "", "--first", "300"}, "--first: Value 300 not in range 0 to 255"}};
    // The telegram engine takes each setpoint's type from the station: a --type would be ignored.
    StationLine telegram(false);
    expectRefused(telegram.run({"write-setpoint", "-n", "12", "-s", "2", "--value", "1", "--type", "2"}),
                  "--type: the telegram engine takes each setpoint's type from the station's list");
    EXPECT_TRUE(telegram.sim().receivedTelegrams().empty());
    for (bool v6 : {false, true}) {
        StationLine line(v6);
        for (auto [args, text] : cases) {
            // Empty words stand for this line's node (a poll item on it); an empty last word
            // is the value under test.
            if (args[0] == "poll" && args[1].empty()) args[1] = line.node() + ":picture:1";
            for (size_t i = 0; i + 1 < args.size(); ++i)
                if (args[i].empty()) args[i] = line.node();
            SCOPED_TRACE(args[0] + " " + args.back() + (v6 ? " on v6" : " on telegram"));
            expectRefused(line.run(args), text);
        }
        EXPECT_TRUE(line.sim().receivedTelegrams().empty());
    }
}

TEST(Inputs, StationCommandLine) {
    const std::string station = HYDRIX_BINARY_DIR "/tools/hydrix-station";
    const Result baud = Child({"--baud", "-5"}, station).wait(10000);
    EXPECT_EQ(baud.exitCode, 2);
    EXPECT_NE(baud.err.find("--baud"), std::string::npos) << baud.err;
    const Result noLf = Child({"--no-lf"}, station).wait(10000);
    EXPECT_EQ(noLf.exitCode, 2);
    EXPECT_NE(noLf.err.find("--no-lf requires --v6"), std::string::npos) << noLf.err;
}

}  // namespace
}  // namespace clitest

namespace clitest {
namespace {

// Each node's address on the wire is shown, and one the profile leaves to the driver's
// default is pointed out before a command runs.
TEST(Profile, NodeAddressesAreShownAndDefaultsNamed) {
    const TempFile ini(
        "[Chan0]\nNodes=12,13\n[Chan0\\Node12]\nPlantNumber=21\n"
        "[Chan1]\nHYDRIXDefault=0\nDeviceName=modem\nDirectConn=0\nNodes=7,8\n"
        "[Chan1\\Node7]\nRoute=AB\n");
    const Result list = runHydrix({"--config", ini.path(), "channels"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("nodes 12 = plant 21, 13 = plant 1 (no PlantNumber: defaulted)"), std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("nodes 7 = route 'AB', 8 = no route (no Route key)"), std::string::npos) << list.out;

    const Result defaulted = runHydrix({"--config", ini.path(), "picture", "-n", "13"});
    EXPECT_EQ(defaulted.err.rfind("hydrix: note: node 13 has no PlantNumber in [Chan0\\Node13]: the driver "
                                  "addresses plant 1\n",
                                  0),
              0u)
        << defaulted.err;
    const Result given = runHydrix({"--config", ini.path(), "picture", "-n", "12"});
    EXPECT_EQ(given.err.find("note:"), std::string::npos) << given.err;
}

}  // namespace
}  // namespace clitest

namespace clitest {
namespace {

// A range means that many values, on the v6 engine too (its values are numbered from 1).
TEST(Inputs, V6PictureRangeGivesThatManyValues) {
    StationLine line(true);
    for (const auto &[args, first] : std::vector<std::pair<std::vector<std::string>, long>>{
             {{"--json", "picture", "-n", "7", "--count", "2"}, 1},
             {{"--json", "picture", "-n", "7", "--first", "3", "--count", "2"}, 3}}) {
        const Result run = line.run(args);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto records = run.json();
        ASSERT_EQ(records.size(), 2u) << run.out;
        EXPECT_EQ(records[0].at("index"), first);
        EXPECT_EQ(records[1].at("index"), first + 1);
    }
    expectRefused(line.run({"picture", "-n", "7", "--first", "0", "--count", "3"}),
                  "--first 0: the v6 engine numbers a picture's values from 1");
}

}  // namespace
}  // namespace clitest
