// The gateway's life: SIGTERM and SIGINT stop the driver to state 0 and exit 0 quickly;
// SIGHUP rereads the item list (a new item gets its registers, a broken file changes
// nothing).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

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
    const std::string head = "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n"
                             "[Chan1]\nHYDRIXDefault=0\nDeviceName=SIM1\nNodes=7\n[Serve]\n"
                             "Modbus=127.0.0.1:" + std::to_string(port) + "\n";
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

}  // namespace
}  // namespace servetest
