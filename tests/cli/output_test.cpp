// The output formats and the diagnostics switches, as a person or a script meets them.
#include <gtest/gtest.h>

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
    EXPECT_EQ(rows[3].back(), ',');  // no error

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

    run = line.run({"-v", "setpoints", "-n", "12", "--count", "1"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("12 MCC 0 1 #"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("MCC"), std::string::npos);  // the trace stays off stdout
}

}  // namespace
}  // namespace clitest
