// Answers that are not what the telegram awaits reach the host as failures with a triple
// that says what happened, never as a request done with nothing delivered.
#include "engine_fixture.h"

using namespace v6;

TEST_F(EngineTest, WrongAnswersReachTheHostAsFailures) {
    struct Case {
        const char *reply;
        uint32_t address;
        uint32_t direction;
        uint32_t group, code, sub;
        int telegrams;  // with one retry
    };
    const uint16_t word = 5;
    const Case cases[] = {
        {"NDA", V6_ADDRESS(V6_WGS_PICTURE, 3), DIR_READ, ERRGRP_CONTENT, ERR_NO_DATA, 3, 1},
        {"NDA", V6_WGD_REPORT, DIR_READ, ERRGRP_CONTENT, ERR_NO_DATA, 1, 1},
        {"NDA", V6_MCC_READ, DIR_READ, ERRGRP_CONTENT, ERR_NO_DATA, 2, 1},
        {"SCE", V6_ADDRESS(V6_WGS_PICTURE, 3), DIR_READ, ERRGRP_CONTENT, ERR_SCE, 1, 2},
        {"SCE", V6_WGH_HISTORY, DIR_READ, ERRGRP_CONTENT, ERR_SCE, 4, 2},
        {"SCO", V6_WGD_REPORT, DIR_READ, ERRGRP_LINE, ERR_FRAMING, 2, 2},
        {"ALN", V6_MAS_READ, DIR_READ, ERRGRP_LINE, ERR_FRAMING, 3, 2},
        {"NDA", 1, DIR_WRITE, ERRGRP_LINE, ERR_FRAMING, 3, 2},  // a setpoint write awaits SCO
        {"SCE", V6_MAS_WRITE, DIR_WRITE, ERRGRP_CONTENT, ERR_SCE, 3, 2},
    };
    ASSERT_EQ(drvStart(), 1);
    line().maxRetries = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.reply) + " to request code " + std::to_string(c.address & 0xFFFF));
        faults([&](auto &f) { f.forceReply = c.reply; });
        const int before = sim->counters().requests;
        expectFailed(send(12, c.address, c.direction, 8, &word, sizeof word), c.group, c.code, c.sub);
        EXPECT_EQ(sim->counters().requests - before, c.telegrams);
        EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 100), nullptr);
        // After the last try the port is reopened; the next case starts on an idle channel.
        ASSERT_TRUE(eventually([&] { return line().state.load() == ST_IDLE && line().pauseIo.load() == 0; }));
    }
    traced("", true);  // forget the traces of the cases above
    // SCO confirms a pump command: the station has carried it out, and it is never sent
    // again (nor reported as a failure).
    faults([](auto &f) { f.forceReply = "SCO"; });
    const int commands = sim->counters().requests;
    send(12, V6_ADDRESS(V6_MACHINE, 3), DIR_WRITE, 8, &word, sizeof word);
    ASSERT_TRUE(eventually([&] { return traced("Recv SCO"); }));
    EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 500), nullptr);
    EXPECT_EQ(sim->counters().requests - commands, 1);

    // The alarm read is no read of the engine's own parsers: its ALR answer fails nothing.
    faults([](auto &f) { f.forceReply.clear(); });
    const int before = sim->counters().requests;
    send(12, V6_WCA_ALARMS, DIR_WRITE);
    ASSERT_TRUE(eventually([&] { return sim->counters().requests > before && line().state.load() == ST_IDLE; }));
    EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 200), nullptr);
    EXPECT_FALSE(traced("[0] Unexpected reply"));

    // The history's NDA is its normal end: a time report with no time, and no failure.
    faults([](auto &f) { f.forceReply = "NDA"; });
    send(12, V6_WGH_HISTORY, DIR_READ);
    auto got = collect(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->direction, uint32_t{DIR_READ_TIME});
    EXPECT_EQ(got[0]->errGroup, 0u);
}

// A reply longer than the engine can take ends the exchange once, as a bad telegram; the
// channel then serves the next request.
TEST_F(EngineTest, ReplyTooLongForTheEngineFailsOnce) {
    sim->editModel([](hydrix::station::Model &m) {
        m.plants[0].pictures[4] = {{1, 2, 3, 5, 0, 0, 0, 0}, std::vector<double>(1200, 1234)};
    });
    ASSERT_EQ(drvStart(), 1);
    const int before = sim->counters().requests;
    expectFailed(send(12, V6_ADDRESS(V6_WGS_PICTURE, 4), DIR_READ), ERRGRP_LINE, ERR_FRAMING, 1);
    EXPECT_EQ(sim->counters().requests - before, 1);
    send(12, V6_MAS_READ, DIR_READ);
    const auto got = collect(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->errGroup, 0u);
}
