// The output formats and the diagnostics switches, as a person or a script meets them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "cli_harness.h"

namespace clitest {
namespace {

TEST(Output, CsvTablePlainPollAndDiagnostics) {
    StationLine line(false);
    Result run = line.run({"--csv", "picture", "-n", "12", "--first", "2", "--count", "3"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto rows = run.lines();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], "channel,node,item,index,value,time,error");
    EXPECT_EQ(rows[1].rfind("0,12,picture 1,2,4,", 0), 0u) << rows[1];  // value 2 of picture 1 is 4
    EXPECT_EQ(rows[3].back(), ',');                                     // no error

    // A table shows UTC and local time; poll prints one line per value.
    run = line.run({"report", "-n", "12", "--count", "2"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    rows = run.lines();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_NE(rows[0].find("TIME (UTC)"), std::string::npos);
    EXPECT_NE(rows[0].find("LOCAL TIME"), std::string::npos);
    EXPECT_NE(rows[1].find("Z  20"), std::string::npos) << rows[1];  // UTC stamp, then local

    run = line.run({"poll", "--rounds", "2", "-i", "0.2", "0/12:setpoints:1-2"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    rows = run.lines();
    ASSERT_EQ(rows.size(), 4u);  // two rounds of two values, no screen drawing off a terminal
    EXPECT_NE(rows[0].find("channel 0 node 12 setpoint[1] = 13"), std::string::npos) << rows[0];

    // A trace file gets the byte dumps; -v shows them on stderr.
    const TempFile trace("");
    run = line.run({"--trace", trace.path(), "picture", "-n", "12", "--count", "1"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string text = readFile(trace.path());
    EXPECT_NE(text.find("12 WGS P 0 ! 1 #"), std::string::npos) << text;
    EXPECT_NE(text.find("hndlRequestPicture: Got"), std::string::npos);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;  // each line stamped with date and time
    EXPECT_EQ(std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d ", &y, &mo, &d, &h, &mi, &s, &ms), 7) << text;
    EXPECT_GE(y, 2024);

    run = line.run({"-v", "setpoints", "-n", "12", "--count", "1"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("12 MCC 0 1 #"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("MCC"), std::string::npos);  // the trace stays off stdout
}

// JSON numbers have one form on both engines: whole numbers without a fraction, others
// with no more digits than a station's 32-bit value carries.
TEST(Output, JsonNumbersHaveOneForm) {
    for (bool v6 : {false, true}) {
        StationLine line(v6);
        for (const char *what : {"picture", "report", "setpoints"}) {
            const Result run = line.run({"--json", what, "-n", line.node()});
            ASSERT_EQ(run.exitCode, 0) << run.err;
            int numbers = 0;
            const std::string key = "\"value\":";
            for (size_t at = run.out.find(key); at != std::string::npos; at = run.out.find(key, at + 1)) {
                const size_t start = at + key.size();
                const size_t end = run.out.find_first_not_of("-+.0123456789eE", start);
                if (end == start) continue;  // a text or null
                const std::string n = run.out.substr(start, end - start);
                ++numbers;
                EXPECT_FALSE(n.size() > 2 && n.compare(n.size() - 2, 2, ".0") == 0) << what << ": " << n;
                EXPECT_LE(std::count_if(n.begin(), n.end(), ::isdigit), 9) << what << ": " << n;
            }
            EXPECT_GT(numbers, 0) << what;
        }
    }
}

// Ctrl-C ends a one-shot command cleanly: the output stays well-formed (no error row),
// stderr says it was interrupted, and the exit code tells a script so.
TEST(Output, InterruptedCommandEndsCleanly) {
    StationLine line(false);
    hydrix::station::Faults f;
    f.silent = true;
    line.setFaults(f);
    Child run({"--config", line.profilePath(), "--json", "picture", "-n", "12", "--count", "2"});
    ASSERT_TRUE(line.sim().waitForTelegrams(1, 10000));
    run.interrupt();
    const Result r = run.wait(10000);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("hydrix: interrupted"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace clitest
