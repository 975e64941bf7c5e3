// One station model read through both engines: the report and the setpoint list show
// what the station holds, on the built-in profile (telegram node 12, v6 node 7), with the
// built-in model and with the example model file. A value an engine does not deliver is
// shown as none, with a note that says why, never as 0.
#include <gtest/gtest.h>

#include <map>

#include "cli_harness.h"

namespace clitest {
namespace {

namespace st = hydrix::station;
using nlohmann::json;

const std::string kExample = std::string(HYDRIX_SOURCE_DIR) + "/examples/station-model.json";

st::Model modelOf(const std::string &path) {
    if (path.empty()) return st::defaultModel();
    std::string error;
    auto m = st::loadModel(path, &error);
    EXPECT_TRUE(m) << error;
    return m ? *m : st::Model{};
}

// Runs hydrix on the built-in profile, with the model file when one is given.
Result builtIn(const std::string &modelPath, std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    if (!modelPath.empty()) args.insert(args.begin(), {"--model", modelPath});
    return runHydrix(args);
}

std::map<long long, json> byIndex(const Result &run) {
    std::map<long long, json> out;
    for (const json &r : run.json()) {
        EXPECT_TRUE(r.at("error").is_null()) << r.dump();
        out[r.at("index").get<long long>()] = r.at("value");
    }
    return out;
}

// The note hydrix wrote on stderr about setpoint n.
std::string noteFor(const std::string &err, long long n) {
    const std::string head = "hydrix: note: setpoint " + std::to_string(n) + " ";
    const std::string head2 = "hydrix: note: setpoint " + std::to_string(n) + ":";
    size_t at = err.find(head);
    if (at == std::string::npos) at = err.find(head2);
    if (at == std::string::npos) return "";
    return err.substr(at, err.find('\n', at) - at);
}

struct Case {
    std::string name, model;  // model file, or empty for the built-in model
    int node;
    bool v6;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class OneModel : public ::testing::TestWithParam<Case> {};

TEST_P(OneModel, ReportShowsTheStationsNumbersAtTheirIndex) {
    const Case c = GetParam();
    const st::Plant plant = *modelOf(c.model).find(c.node);
    std::vector<double> numbers;
    for (const auto &row : plant.reportRows) numbers.insert(numbers.end(), row.begin(), row.end());
    ASSERT_FALSE(numbers.empty());

    const Result run = builtIn(c.model, {"report", "-n", std::to_string(c.node)});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto got = byIndex(run);
    // The telegram engine reads the reply's first number twice: it has values from 1 on.
    const size_t from = c.v6 ? 0 : 1;
    ASSERT_EQ(got.size(), numbers.size() - from) << run.out;
    for (size_t i = from; i < numbers.size(); ++i)
        EXPECT_DOUBLE_EQ(got.at(static_cast<long long>(i)).get<double>(), numbers[i]) << i;

    // Value 0 of the telegram engine's report, asked for: no value (Commands.*ReadTheStations*
    // in commands_test.cpp), and its note (OneModelPoll below).
}

TEST_P(OneModel, SetpointsShowNumbersTextsOrWhyNot) {
    const Case c = GetParam();
    const st::Plant plant = *modelOf(c.model).find(c.node);
    const Result run = builtIn(c.model, {"setpoints", "-n", std::to_string(c.node)});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto got = byIndex(run);
    ASSERT_EQ(got.size(), plant.setpoints.size()) << run.out;  // listed ones only, each once
    for (const auto &[n, s] : plant.setpoints) {
        const json &v = got.at(n);
        if (s.type != 'T') {
            EXPECT_DOUBLE_EQ(v.get<double>(), s.value) << "setpoint " << n << " type " << s.type;
        } else if (c.v6) {
            EXPECT_EQ(v, s.text) << n;
        } else {
            EXPECT_TRUE(v.is_null()) << n << ": " << v.dump();
            EXPECT_NE(run.err.find("setpoint " + std::to_string(n) +
                                   " (type T, a text): the telegram engine "
                                   "delivers no value"),
                      std::string::npos)
                << run.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BuiltInProfile, OneModel,
                         ::testing::Values(Case{"TelegramBuiltIn", "", 12, false}, Case{"V6BuiltIn", "", 7, true},
                                           Case{"TelegramExample", kExample, 12, false},
                                           Case{"V6Example", kExample, 7, true}),
                         [](const auto &info) { return info.param.name; });

// A poll's plain lines say why a value is missing, where a bare "= 0" stood.
TEST(OneModelPoll, LinesSayWhyAValueIsMissing) {
    const Result run = runHydrix({"poll", "12:setpoints:9-10", "12:report:0-1", "--rounds", "1"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("setpoint[9] = 2\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("setpoint[10] = - (setpoint 10 (type T, a text): the telegram engine delivers no value"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("report[0] = - (report value 0"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("report[1] = 101\n"), std::string::npos) << run.out;
}

// A station whose list holds types an engine does not read: each such setpoint says so;
// the v6 engine stops reading at the first one, and the setpoints behind it say that.
TEST(ForeignSetpointTypes, AreNamedPerSetpoint) {
    struct Foreign {
        bool v6;
        std::string list;
        std::map<long long, double> values;      // delivered
        std::map<long long, std::string> notes;  // no value, and the note's words
    };
    const std::vector<Foreign> cases = {
        {false, "1 0 5 2 X 7 3 1 2.5", {{1, 5}, {3, 2.5}}, {{2, "(type X): the telegram engine delivers no value"}}},
        // A text runs to its apostrophe, blanks and all: setpoint 3 is still found.
        {false, "1 0 5 2 T 'two words' 3 1 2.5", {{1, 5}, {3, 2.5}}, {{2, "(type T, a text): the telegram engine"}}},
        {true,
         "1 0 5 2 I 7 3 1 2.5",
         {{1, 5}},
         {{2, "(type I): the v6 engine delivers no value"}, {3, "stops reading the list at setpoint 2, type I"}}},
    };
    for (const Foreign &f : cases) {
        SCOPED_TRACE(f.v6 ? "v6" : "telegram");
        StationLine line(f.v6);
        st::Faults faults;
        faults.forceReply = f.list;
        line.setFaults(faults);
        const Result run = line.run({"--json", "setpoints", "-n", line.node(), "--first", "1", "--count", "3"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto got = byIndex(run);
        EXPECT_EQ(got.size(), f.values.size() + f.notes.size()) << run.out;
        for (const auto &[n, v] : f.values) EXPECT_DOUBLE_EQ(got.at(n).get<double>(), v) << n;
        for (const auto &[n, words] : f.notes) {
            EXPECT_TRUE(got.at(n).is_null()) << n;
            EXPECT_NE(noteFor(run.err, n).find(words), std::string::npos) << n << ": " << run.err;
        }
    }
}

}  // namespace
}  // namespace clitest
