// The profile check: every value the driver would misread is an error naming file, line
// and key, every key nothing reads a warning; a command does not start on an error.
#include <gtest/gtest.h>

#include "cli_harness.h"

namespace clitest {
namespace {

TEST(ProfileCheck, NamesFileLineAndKeyOfEveryProblem) {
    struct Case {
        std::string channelLines;  // lines after "[Chan0]" (line 2 on)
        std::string expected;      // after "FILE:"
    };
    const std::vector<Case> cases = {
        {"Nodes=abc\n", "2: error: [Chan0] Nodes = abc: 'abc' is not a node number (the driver reads it as node 0"},
        {"Nodes = 12 ; comment\n", "2: error: [Chan0] Nodes = 12 ; comment: 'comment' is not a node number"},
        {"Nodes=12,12\n", "2: error: [Chan0] Nodes = 12,12: node 12 is listed twice"},
        {"Nodes=0\n", "2: error: [Chan0] Nodes = 0: node 0 is outside 1 to 65535"},
        {"Nodes=99999\n", "2: error: [Chan0] Nodes = 99999: node 99999 is outside 1 to 65535"},
        {"Nodes=12\nRetries=-5\n", "3: error: [Chan0] Retries = -5: must be a whole number from 0 to 100"},
        {"Nodes=12\nRetries=99999999999\n",
         "3: error: [Chan0] Retries = 99999999999: must be a whole number "
         "from 0 to 100 (the driver would read 1215752191)"},
        {"Nodes=12\nHYDRIXDefault=7\n", "3: error: [Chan0] HYDRIXDefault = 7: must be a whole number from 0 to 1"},
        {"Nodes=12\nBaudrate=12345\n", "3: error: [Chan0] Baudrate = 12345: Baudrate 12345 is not a supported speed"},
        {"Nodes=12\n\nProt=/dev/ttyS0\n",
         "4: warning: [Chan0] Prot = /dev/ttyS0: unknown key (nothing reads it); "
         "did you mean Port?"},
        {"Nodes=12\nNodes=13\n", "3: warning: [Chan0] Nodes = 13: given again in this section"},
        {"Nodes=12\n[Chan0\\Node13]\nPlantNumber=4\n",
         "4: warning: [Chan0\\Node13] PlantNumber = 4: node 13 is not in"},
        {"Nodes=12\n[Chan0\\Node12]\nPlantNumber=x\n", "4: error: [Chan0\\Node12] PlantNumber = x: must be a whole"},
        {"Nodes=12\n[Chan0\\Node12]\nRoute=AB\n", "4: warning: [Chan0\\Node12] Route = AB: read only by the v6 engine"},
        {"Nodes=12\n[Poll]\nInterval=1e10\n", "4: error: [Poll] Interval = 1e10: interval \"1e10\": give the seconds"},
        {"Nodes=12\n[Pol]\nItems=12:report\n", "[Pol]: unknown section (nothing reads it)"},
        {"HYDRIXDefault=0\nNodes=7\n", " error: [Chan0]: the v6 engine needs a DeviceName key"},
    };
    for (const Case &c : cases) {
        const TempFile ini("[Chan0]\n" + c.channelLines);
        SCOPED_TRACE(c.channelLines);
        const Result check = runHydrix({"--config", ini.path(), "check"});
        EXPECT_NE(check.out.find(ini.path() + (c.expected[0] == '[' ? ": warning: " : ":") + c.expected),
                  std::string::npos)
            << check.out;
        const bool error = c.expected.find("error:") != std::string::npos;
        EXPECT_EQ(check.exitCode, error ? 2 : 0) << check.out;
        // A command stops on an error before any port is opened, and runs with a warning
        // (it would fail on the missing port here, after the warning).
        const Result command = runHydrix({"--config", ini.path(), "report", "-n", "12"});
        EXPECT_EQ(command.exitCode, 2);
        EXPECT_NE(command.err.find(c.expected), std::string::npos) << command.err;
        EXPECT_EQ(command.err.find("cannot open the port") == std::string::npos &&
                      command.err.find("has no Port key") == std::string::npos,
                  error)
            << command.err;
    }
}

TEST(ProfileCheck, CleanProfilesAndDirectories) {
    for (const char *example : {"/examples/hydrix.ini", "/examples/hydrix-site.ini"}) {
        const std::string path = std::string(HYDRIX_SOURCE_DIR) + example;
        const Result check = runHydrix({"--config", path, "check"});
        EXPECT_EQ(check.exitCode, 0) << check.out;
        EXPECT_NE(check.out.find(path + ": 0 errors, 0 warnings"), std::string::npos) << check.out;
    }
    const Result dir = runHydrix({"--config", "/tmp", "picture", "-n", "12"});
    EXPECT_EQ(dir.exitCode, 2);
    EXPECT_EQ(dir.err, "hydrix: /tmp: is a directory, not a profile\n");
}

}  // namespace
}  // namespace clitest
