// The gateway's life: SIGTERM and SIGINT stop the driver to state 0 and exit 0 quickly;
// SIGHUP rereads the item list (a new item gets its registers, a broken file changes
// nothing); a silent station holds up only its own line.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "serve_harness.h"

namespace servetest {
namespace {

TEST(GatewayLife, SigtermAndSigintStopTheDriverAndExitZero) {
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        const int port = freePort();
        Gateway g({"serve", "--modbus", "127.0.0.1:" + std::to_string(port)});
        ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
        Client c(port, 12);  // a client still connected does not keep it alive
        std::vector<uint16_t> regs;
        ASSERT_TRUE(waitUntil(10000, [&] { return c.read(0, 2, &regs); })) << g.log();
        const auto asked = std::chrono::steady_clock::now();
        g.signal(sig);
        EXPECT_EQ(g.wait(10000), 0) << g.log();
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(3));
        EXPECT_NE(g.log().find("stopped (driver state 0)"), std::string::npos) << g.log();
    }
}

TEST(GatewayLife, SighupRereadsTheItemListAndKeepsItWhenTheFileIsBroken) {
    const int port = freePort();
    const std::string head =
        "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n"
        "[Chan1]\nHYDRIXDefault=0\nDeviceName=SIM1\nNodes=7\n[Serve]\n"
        "Modbus=127.0.0.1:" +
        std::to_string(port) + "\n";
    const TempFile ini(head + "Items=12:picture:1:0-1 every=1h\n");
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
    Client c12(port, 12), c7(port, 7);
    std::vector<uint16_t> regs;
    int error = 0;
    ASSERT_TRUE(waitUntil(10000, [&] { return c12.read(0, 4, &regs); })) << g.log();
    EXPECT_FALSE(c7.read(0, 2, &regs, &error));
    EXPECT_EQ(error, EMBXGPATH) << "station 7 has no items yet";

    ini.write(head + "Items=12:picture:1:0-1 every=1h, 7:setpoints:1-2 every=1h\n");
    g.signal(SIGHUP);
    ASSERT_TRUE(g.waitForLog("item list reread: 2 item(s)")) << g.log();
    ASSERT_TRUE(waitUntil(10000, [&] { return c7.read(0, 4, &regs); })) << g.log();
    EXPECT_FLOAT_EQ(modbus_get_float_abcd(&regs[0]), 14.0f);  // station 7: setpoint 1 is 12 + 2
    EXPECT_FLOAT_EQ(modbus_get_float_abcd(&regs[2]), 3.5f);
    ASSERT_TRUE(c12.read(0, 2, &regs)) << "an item that stays keeps its value";

    ini.write(head + "Items=12:picture:1:0-1 every=1h, 7:setpoints:1-2 every=never\n");
    g.signal(SIGHUP);
    ASSERT_TRUE(g.waitForLog("has errors: the item list stays as it was")) << g.log();
    EXPECT_NE(g.log().find(ini.path() + ":11: error: [Serve] Items"), std::string::npos) << g.log();
    EXPECT_TRUE(c7.read(0, 4, &regs));
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
}

TEST(GatewayLife, ASilentStationHoldsUpOnlyItsOwnLine) {
    // Node 13 on channel 0 never answers (the simulated line has no plant 13): each of its
    // reads takes the whole reply time. Station 7 on channel 1 is read every half second.
    const int port = freePort();
    const TempFile ini(
        "[Chan0]\nRetries=0\nNodes=12, 13\n[Chan0\\Node12]\nPlantNumber=12\n"
        "[Chan0\\Node13]\nPlantNumber=13\n"
        "[Chan1]\nHYDRIXDefault=0\nDeviceName=SIM1\nNodes=7\n[Serve]\n"
        "Items=13:picture:1:0-1 every=1s, 7:picture:1:1-2 every=500ms\n"
        "Modbus=127.0.0.1:" +
        std::to_string(port) + "\n");
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
    Client c(port, 7);
    // Unit 7: values 1-2 in registers 0-3, status from 4 (quality, then age in seconds).
    std::vector<uint16_t> status;
    ASSERT_TRUE(waitUntil(4000, [&] { return c.read(4, 3, &status) && status[0] == 0; }))
        << "station 7 waited for the silent station on the other line\n"
        << g.log();
    // While node 13's reads time out one after the other, station 7's values stay fresh.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(9);
    uint32_t oldest = 0;
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(c.read(4, 3, &status));
        oldest = std::max(oldest, (uint32_t(status[1]) << 16) | status[2]);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LE(oldest, 2u) << g.log();
    EXPECT_NE(g.log().find("channel 0: line offline"), std::string::npos) << "node 13 answered?\n" << g.log();
    EXPECT_EQ(g.log().find("channel 1: line offline"), std::string::npos) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
}

}  // namespace
}  // namespace servetest
