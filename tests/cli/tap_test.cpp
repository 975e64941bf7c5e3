// What the tool reads from the line itself: v6 alarm lines whole, and the value a setpoint
// write put on the line, with what the station holds afterwards.
#include <gtest/gtest.h>

#include "cli_harness.h"

namespace clitest {
namespace {

namespace st = hydrix::station;
using nlohmann::json;

class Alarms : public ::testing::TestWithParam<bool> {};

// Alarm lines longer than the driver's 32-byte dump of a frame: a ten-digit code pushes
// the flag and the second far past it. Both engines show the whole alarm.
TEST_P(Alarms, KeepTheirSecondsAndState) {
    StationLine line(GetParam());
    st::LocalTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 5;
    t.hour = 21;
    t.minute = 15;
    std::vector<st::Alarm> alarms(3);
    alarms[0].code = 2000000000;
    alarms[0].time = t;
    alarms[0].second = 30;
    alarms[0].flag = "A";
    alarms[1].code = 1234567;
    alarms[1].time = t;
    alarms[1].second = 59;
    alarms[1].flag = "N";
    alarms[1].extra = {"100", "200", "300", "400", "500", "600"};
    alarms[2].code = 7;
    alarms[2].time = t;  // 14 fields: no second on the line
    line.sim().editModel([&](st::Model &m) {
        auto &list = m.find(line.plant())->alarms;
        list.assign(alarms.begin(), alarms.end());
    });
    const Result run = line.run({"--json", "alarms", "-n", line.node()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto records = run.json();
    ASSERT_EQ(records.size(), alarms.size()) << run.out;
    for (size_t i = 0; i < alarms.size(); ++i) {
        EXPECT_EQ(records[i].at("index"), alarms[i].code);
        EXPECT_EQ(records[i].at("value"), alarms[i].flag == "A" ? "active" : "cleared") << i;
        EXPECT_EQ(records[i].at("time"), isoOfLocal(alarms[i].time, std::max(alarms[i].second, 0))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(BothEngines, Alarms, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "V6" : "Telegram"; });

class WrittenValue : public ::testing::TestWithParam<bool> {};

// The value printed is what the station was sent and holds, not the typed one turned into
// a 32-bit float; a value cut to the setpoint's decimals is said on stderr.
TEST_P(WrittenValue, IsWhatTheStationWasSent) {
    const bool v6 = GetParam();
    struct Case {
        int setpoint;
        std::string typed;
        std::string sentTelegram, sentV6;  // the value on the line, per engine
        double holds;
        std::string note;  // on stderr; empty: no note at all
    };
    const std::vector<Case> cases = {
        {2, "3.14159", "3.1", "3.1", 3.1, "note: 3.14159 was written as 3.1: setpoint 2 has 1 decimal"},
        {3, "2.5", "2.50", "2.50", 2.5, ""},
        {4, "0.1", "0.100", "0.100", 0.1, ""},
        {5, "-1.23456", "-1.2346", "-1.2345", v6 ? -1.2345 : -1.2346,
         v6 ? "note: -1.23456 was written as -1.2345: setpoint 5 has 4 decimals"
            : "note: -1.23456 was written as -1.2346: setpoint 5 has 4 decimals"},
        {1, "12.9", "12", "12.", 12,
         v6 ? "note: 12.9 was written as 12.: setpoint 1 takes whole numbers"
            : "note: 12.9 was written as 12: setpoint 1 takes whole numbers"},
    };
    StationLine line(v6);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed);
        const size_t before = line.sim().setpointWrites().size();
        const Result run = line.run(
            {"--json", "write-setpoint", "-n", line.node(), "-s", std::to_string(c.setpoint), "--value", c.typed});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto writes = line.sim().setpointWrites();
        ASSERT_EQ(writes.size(), before + 1);
        EXPECT_EQ(writes.back().value, v6 ? c.sentV6 : c.sentTelegram);
        ASSERT_EQ(run.json().size(), 1u) << run.out;
        EXPECT_EQ(run.json()[0].at("value").get<double>(), c.holds);
        EXPECT_EQ(line.sim().model().find(line.plant())->setpoints.at(c.setpoint).value, c.holds);
        if (c.note.empty())
            EXPECT_EQ(run.err.find("was written as"), std::string::npos) << run.err;
        else
            EXPECT_NE(run.err.find(c.note), std::string::npos) << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(BothEngines, WrittenValue, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "V6" : "Telegram"; });

// A v6 setpoint of type A or D is one unsigned 16-bit word: -5 would arrive as 65531.
TEST(LineTap, V6WholeNumberSetpointRefusesWhatItCannotHold) {
    StationLine line(true);
    const Result run = line.run({"write-setpoint", "-n", line.node(), "-s", "8", "--value", "-5"});
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.err.find("setpoint 8 takes whole numbers from 0 to 65535"), std::string::npos) << run.err;
    EXPECT_TRUE(line.sim().setpointWrites().empty());
}

}  // namespace
}  // namespace clitest
