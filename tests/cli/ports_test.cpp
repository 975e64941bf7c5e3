// Two programs on one port: the second is refused with the first one's process number,
// instead of both talking on the line and taking each other's replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "cli_harness.h"

namespace clitest {
namespace {

namespace st = hydrix::station;

TEST(Ports, ASecondProgramOnThePortIsToldWhichProcessHasIt) {
    std::string error;
    auto pty = st::Pty::open(&error);
    ASSERT_TRUE(pty) << error;
    st::Simulator sim(pty->master(), st::defaultModel());
    sim.start();
    TempFile profile("[Driver]\n[Chan0]\nRetries=0\nNodes=12\nPort=" + pty->slavePath() +
                     "\n[Chan0\\Node12]\nPlantNumber=12\n");
    const std::vector<std::string> picture{"--config", profile.path(), "picture", "-n", "12", "--count", "2"};

    Child first({"--config", profile.path(), "poll", "-i", "1", "12:picture:1:1-2"});
    ASSERT_TRUE(first.waitForOutput(20000));
    const Result second = runHydrix(picture);
    EXPECT_EQ(second.exitCode, 2) << second.out;
    const std::string says = "channel 0: cannot open the port: " + pty->slavePath() + ": port busy (in use by process ";
    const size_t at = second.err.find(says);
    ASSERT_NE(at, std::string::npos) << second.err;
    EXPECT_EQ(std::count(second.err.begin(), second.err.end(), '\n'), 1) << second.err;  // one line
    const int holder = std::atoi(second.err.c_str() + at + says.size());
    std::stringstream cmdline;
    cmdline << std::ifstream("/proc/" + std::to_string(holder) + "/cmdline").rdbuf();
    EXPECT_NE(cmdline.str().find("poll"), std::string::npos) << "process " << holder << " is not the first program";

    first.interrupt();
    EXPECT_EQ(first.wait(15000).exitCode, 0);
    const Result after = runHydrix(picture);
    EXPECT_EQ(after.exitCode, 0) << after.err;
    sim.stop();
}

}  // namespace
}  // namespace clitest
