// Every command of hydrix on both engines, against a simulated station: the JSON it
// prints, its exit code, and what the station saw.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "cli_harness.h"

namespace clitest {
namespace {

namespace st = hydrix::station;
using nlohmann::json;

class Commands : public ::testing::TestWithParam<bool> {
protected:
    bool v6() const { return GetParam(); }
    StationLine line{GetParam()};
    st::Plant plant() { return *line.sim().model().find(line.plant()); }
    Result hydrix(std::vector<std::string> args) {
        args.insert(args.begin(), "--json");
        return line.run(args);
    }
    // The v6 engine reads picture values as whole numbers: the station rounds them for it.
    double delivered(double v) const { return v6() ? static_cast<double>(std::llround(v)) : v; }
};

// Values of one item, by index, from JSON records that must all be free of errors.
std::map<long long, json> valuesOf(const std::vector<json> &records, const std::string &item) {
    std::map<long long, json> out;
    for (const json &r : records) {
        EXPECT_TRUE(r.at("error").is_null()) << r.dump();
        EXPECT_EQ(r.at("time").get<std::string>().back(), 'Z');
        if (r.at("item") == item) out[r.at("index").get<long long>()] = r.at("value");
    }
    return out;
}

TEST_P(Commands, PollAndPictureRead) {
    const std::string n = line.node();
    const Result run = hydrix({"poll", "--rounds", "1", n + ":picture:1:1-4", n + ":report:0-5", n + ":setpoints:1-3"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto records = run.json();
    const st::Plant p = plant();

    const auto picture = valuesOf(records, "picture 1");
    ASSERT_EQ(picture.size(), 4u);
    for (long long i = 1; i <= 4; ++i)
        EXPECT_DOUBLE_EQ(picture.at(i).get<double>(), delivered(p.pictures.at(1).values[static_cast<size_t>(i)])) << i;

    // Each report value at its own index; the telegram engine has no value 0 of its own
    // (it reads the reply's first number twice).
    std::vector<double> report;
    for (const auto &row : p.reportRows) report.insert(report.end(), row.begin(), row.end());
    const auto got = valuesOf(records, "report");
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got.at(0).is_null(), !v6());
    for (long long i = v6() ? 0 : 1; i < 6; ++i)
        EXPECT_DOUBLE_EQ(got.at(i).get<double>(), report[static_cast<size_t>(i)]) << i;

    const auto setpoints = valuesOf(records, "setpoint");
    ASSERT_EQ(setpoints.size(), 3u);
    for (int s = 1; s <= 3; ++s) EXPECT_DOUBLE_EQ(setpoints.at(s).get<double>(), p.setpoints.at(s).value);
    for (const json &r : records) EXPECT_EQ(r.at("node").get<int>(), std::stoi(n));

    // A picture without a range: every value.
    const Result all = hydrix({"picture", "-n", n, "-p", "1"});
    ASSERT_EQ(all.exitCode, 0) << all.err;
    const auto values = valuesOf(all.json(), "picture 1");
    const auto &model = p.pictures.at(1).values;
    // The v6 engine takes value 0 as part of the header and numbers the rest from 1.
    const size_t first = v6() ? 1 : 0;
    ASSERT_EQ(values.size(), model.size() - first);
    EXPECT_DOUBLE_EQ(values.rbegin()->second.get<double>(), delivered(model.back()));
    EXPECT_EQ(values.begin()->first, static_cast<long long>(first));
}

TEST_P(Commands, SetpointWriteAndMachineCommandReachTheStation) {
    Result run = hydrix({"write-setpoint", "-n", line.node(), "-s", "2", "--value", "4.5"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(run.json().size(), 1u);
    EXPECT_EQ(run.json()[0].at("index"), 2);
    EXPECT_DOUBLE_EQ(run.json()[0].at("value").get<double>(), 4.5);
    const auto writes = line.sim().setpointWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(std::make_pair(writes[0].number, std::stod(writes[0].value)), std::make_pair(2, 4.5));

    run = hydrix({"command", "stop", "-n", line.node(), "-m", "2", "--item", "3"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(run.json().size(), 1u);
    EXPECT_EQ(run.json()[0].at("value"), "stop (F)");
    const auto commands = line.sim().machineCommands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(std::make_tuple(commands[0].letter, commands[0].machine, commands[0].picture),
              std::make_tuple('F', 2, 3));
}

TEST_P(Commands, HistoryAndAlarmsUntilTheStationHasNoMore) {
    const st::Plant p = plant();
    const size_t from = p.history.size() - 6;  // the five records after it are wanted
    const st::LocalTime t = p.history[from].time;
    char start[32];
    std::snprintf(start, sizeof start, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
    Result run = hydrix({"history", "-n", line.node(), "--from", start});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::map<std::string, std::vector<double>> byTime;
    for (const json &r : run.json()) {
        ASSERT_TRUE(r.at("error").is_null()) << r.dump();
        byTime[r.at("time").get<std::string>()].push_back(r.at("value").get<double>());
    }
    ASSERT_EQ(byTime.size(), 5u);
    for (size_t i = from + 1; i < p.history.size(); ++i) {
        const auto &rec = p.history[i];
        ASSERT_TRUE(byTime.count(isoOfLocal(rec.time))) << isoOfLocal(rec.time);
        EXPECT_EQ(byTime[isoOfLocal(rec.time)], rec.values);
    }

    // Alarms are fetched and acknowledged until none is left.
    const auto alarms = p.alarms;
    ASSERT_EQ(alarms.size(), 2u);
    run = hydrix({"alarms", "-n", line.node()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto records = run.json();
    ASSERT_EQ(records.size(), alarms.size());
    for (size_t i = 0; i < alarms.size(); ++i) {
        EXPECT_EQ(records[i].at("index"), alarms[i].code);
        EXPECT_EQ(records[i].at("value"), alarms[i].flag == "A" ? "active" : "cleared");
        EXPECT_EQ(records[i].at("time"), isoOfLocal(alarms[i].time, std::max(alarms[i].second, 0)));
    }
    EXPECT_TRUE(plant().alarms.empty());
    EXPECT_EQ(line.sim().aloCount(), 2);
}

INSTANTIATE_TEST_SUITE_P(BothEngines, Commands, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "V6" : "Telegram"; });

TEST(EmbeddedDefault, ReadsLiveValuesFromBothEnginesWithoutAProfile) {
    const Result run = runHydrix({"poll", "--rounds", "1", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::set<int> channels;
    for (const json &r : run.json()) {
        EXPECT_TRUE(r.at("error").is_null());
        channels.insert(r.at("channel").get<int>());
    }
    EXPECT_EQ(channels, (std::set<int>{0, 1}));
}

}  // namespace
}  // namespace clitest
