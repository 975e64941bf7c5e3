// Requests served end to end by the v6 engine.
#include "engine_fixture.h"

using namespace v6;

// The picture, the setpoint list and the history come end to end in other tests (the
// history with its end report in OkBeforeTheAnswerIsPassedOverAndTheAnswerUsedOnce).
TEST_F(EngineTest, ReadsDeliverStationData) {
    ASSERT_EQ(drvStart(), 1);
    send(12, V6_WGD_REPORT, DIR_READ);
    send(12, V6_MAS_READ, DIR_READ);
    auto got = collect(2 + 1);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(valueAs<int32_t>(got[1], 16), 10);
    EXPECT_EQ(valueAs<uint16_t>(got[2], 2), 100);
    // The served request itself goes back to the pool, not to the host.
    EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 300), nullptr);
}

TEST_F(EngineTest, WritesReachTheStation) {
    ASSERT_EQ(drvStart(), 1);
    const uint16_t word = 99;
    send(12, 0, DIR_WRITE, 2, &word, sizeof word);
    auto got = collect(3);  // SCO, then the list read back
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(valueAs<uint16_t>(got[0]), 99);
    ASSERT_EQ(sim->setpointWrites().size(), 1u);
    EXPECT_EQ(sim->setpointWrites()[0].value, "99");

    const uint16_t limits[5] = {1, 200, 10, 5, 2};
    send(12, V6_MAS_WRITE, DIR_WRITE, 8, limits, sizeof limits);
    const uint16_t pump = 1;
    send(12, V6_ADDRESS(V6_MACHINE, 3), DIR_WRITE, 8, &pump, sizeof pump);
    EXPECT_EQ(collect(7).size(), 7u);
    ASSERT_EQ(sim->limitWrites().size(), 1u);
    EXPECT_EQ(sim->limitWrites()[0].limit.high, 200);
    ASSERT_EQ(sim->machineCommands().size(), 1u);
    EXPECT_EQ(sim->machineCommands()[0].letter, 'F');

    EXPECT_FALSE(traced("ERROR_STATE (0,3)"));

    int before = sim->counters().requests;
    send(12, 8, DIR_READ);  // not served: back to the pool unanswered
    EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 500), nullptr);
    EXPECT_EQ(sim->counters().requests, before);

    // A setpoint the station lacks: SCE, tried again, then the host is told.
    line().maxRetries = 1;
    expectFailed(send(12, 0, DIR_WRITE, 2 * 9, &word, sizeof word), ERRGRP_CONTENT, ERR_SCE, 3);
    EXPECT_EQ(sim->counters().requests - before, 2);
}

TEST_F(EngineTest, FailuresAreRetriedThenGivenUpWithTheirTriple) {
    ASSERT_EQ(drvStart(), 1);
    faults([](auto &f) { f.wrongBcc = true, f.replies = 1; });
    send(12, V6_ADDRESS(V6_WGS_PICTURE, 3), DIR_READ);
    auto got = collect(7);
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[0]->errGroup, 0u);
    EXPECT_TRUE(traced("setErr() grp = 14, rc = 47 Sub:0"));

    faults([](auto &f) { f.wrongBcc = true, f.replies = -1; });
    const int before = sim->counters().requests;
    expectFailed(send(12, V6_ADDRESS(V6_WGS_PICTURE, 3), DIR_READ), 20, 71, {}, 10000);
    EXPECT_EQ(sim->counters().requests - before, 4);
    EXPECT_TRUE(traced("ERROR_STATE (3,3)"));
    // The port is reopened and the channel serves again.
    ASSERT_TRUE(eventually([&] { return line().state.load() == ST_IDLE && line().pauseIo.load() == 0; }));
    faults([](auto &f) { f.wrongBcc = false; });
    send(12, V6_MAS_READ, DIR_READ);
    EXPECT_EQ(collect(1).size(), 1u);

    // A station that stays silent is given up once the reply time is out.
    line().maxRetries = 0;
    faults([](auto &f) { f.silent = true; });
    const auto asked = std::chrono::steady_clock::now();
    send(12, V6_MAS_READ, DIR_READ);
    got = collect(1, 18000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(REPLY_TIMEOUT_MS + 1500));
    EXPECT_EQ(got[0]->errCode, 83u);
    EXPECT_TRUE(traced("ERROR_STATE (0,0)"));
}

TEST_F(EngineTest, EmptyHostPoolPausesTheReplyUntilMessagesComeBack) {
    poolSize = 4;
    hydrix::rt::configurePool(kLine, poolSize, 2048);
    ASSERT_EQ(drvStart(), 1);
    send(12, V6_ADDRESS(V6_WGS_PICTURE, 3), DIR_READ);  // takes one
    std::vector<int32_t> values;
    for (int round = 0; round < 5 && values.size() < 7; ++round) {
        auto got = collect(7 - values.size(), 1000);
        // Until the last value is out, the exchange waits with its reply.
        EXPECT_TRUE(values.size() + got.size() == 7 || line().step.load() == STEP_WGS_PARSE);
        for (HostMsg *m : got) {
            values.push_back(valueAs<int32_t>(m));
            putMsgToPool(kLine, m);
        }
        taken_.clear();
    }
    EXPECT_EQ(values, (std::vector<int32_t>{101, 102, 103, 104, 105, 106, 107}));
}
