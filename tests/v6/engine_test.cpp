// Requests served end to end by the v6 engine.
#include "engine_fixture.h"

using namespace v6;
using namespace v6test;

TEST_F(EngineTest, ReadsDeliverStationData) {
    ASSERT_EQ(drvStart(), 1);
    HostMsg *req = send(12, V6_ADDRESS(V6_WGS_PICTURE, 3), DIR_READ);
    auto got = collect(7);
    ASSERT_EQ(got.size(), 7u);
    for (int i = 0; i < 7; ++i) {
        EXPECT_NE(got[i], req);
        EXPECT_EQ(got[i]->node, 12u);
        EXPECT_EQ(valueAs<int32_t>(got[i]), 101 + i);
        EXPECT_EQ(got[i]->address, i < 4 ? 0x00030009u : 11u);
        EXPECT_EQ(got[i]->index, i < 4 ? 2u * (i + 1) : 2u * (i - 4));
    }

    send(12, V6_WGD_REPORT, DIR_READ);
    got = collect(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1]->index, 20u);
    EXPECT_EQ(valueAs<int32_t>(got[1], 16), 10);

    send(12, V6_MCC_READ, DIR_READ);
    got = collect(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(valueAs<uint16_t>(got[0]), 17);
    EXPECT_EQ(got[1]->address, 4u);
    EXPECT_EQ(valueAs<float>(got[1]), 2.5f);
    EXPECT_EQ(got[2]->address, 2u);
    EXPECT_EQ(std::string(static_cast<const char *>(got[2]->data), 4), "UPPM");

    send(12, V6_MAS_READ, DIR_READ);
    got = collect(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->index, 8u);
    EXPECT_EQ(valueAs<uint16_t>(got[0], 2), 100);
    EXPECT_TRUE(quiet(300));
    // The served request went back to the pool, not to the host.
    EXPECT_TRUE(eventually([&] { return line().curMsg.load() == nullptr; }));
}

TEST_F(EngineTest, HistoryReadRunsToItsEnd) {
    ASSERT_EQ(drvStart(), 1);
    send(12, V6_WGH_HISTORY, DIR_READ);
    // Four records in the first chunk, two in the second, then NDA.
    auto got = collect(6 * 2 + 3, 10000);
    ASSERT_EQ(got.size(), 15u);
    std::vector<OrvelTime> stamps;
    std::vector<int32_t> values;
    for (HostMsg *m : got) {
        if (m->direction == DIR_READ_TIME) {
            stamps.push_back(m->timeStamp);
            continue;
        }
        EXPECT_EQ(m->address, 8u);
        values.push_back(valueAs<int32_t>(m));
    }
    EXPECT_EQ(values, (std::vector<int32_t>{0, 0, 1, 10, 2, 20, 3, 30, 4, 40, 5, 50}));
    ASSERT_EQ(stamps.size(), 3u);
    EXPECT_LT(stamps[0], stamps[1]);
    EXPECT_EQ(stamps[2], 0u);  // no more data
    EXPECT_EQ(sentCount("WGH"), 3);
    EXPECT_TRUE(quiet(300));
}

TEST_F(EngineTest, WritesReachTheStation) {
    ASSERT_EQ(drvStart(), 1);
    // A setpoint write is answered SCO and followed by reading the list back.
    const uint16_t word = 99;
    send(12, 0, DIR_WRITE, 2, &word, sizeof word);
    auto got = collect(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(valueAs<uint16_t>(got[0]), 99);
    ASSERT_EQ(sim->setpointWrites().size(), 1u);
    EXPECT_EQ(sim->setpointWrites()[0].number, 1);
    EXPECT_EQ(sim->setpointWrites()[0].value, "99");
    EXPECT_TRUE(traced("Recv SCO"));

    const uint16_t limits[5] = {1, 200, 10, 5, 2};
    send(12, V6_MAS_WRITE, DIR_WRITE, 8, limits, sizeof limits);
    ASSERT_TRUE(eventually([&] { return sim->limitWrites().size() == 1; }));
    EXPECT_EQ(sim->limitWrites()[0].limit.high, 200);

    const uint16_t pump = 1;
    send(12, V6_ADDRESS(V6_MACHINE, 3), DIR_WRITE, 8, &pump, sizeof pump);
    got = collect(7);
    EXPECT_EQ(got.size(), 7u);
    ASSERT_EQ(sim->machineCommands().size(), 1u);
    EXPECT_EQ(sim->machineCommands()[0].letter, 'F');
    EXPECT_EQ(sim->machineCommands()[0].machine, 4);

    // A setpoint the station lacks: SCE ends the exchange without an error.
    send(12, 0, DIR_WRITE, 2 * 9, &word, sizeof word);
    EXPECT_TRUE(eventually([&] { return traced("Recv SCE"); }));
    // A request code that is not served goes back to the pool unanswered.
    const int before = sim->counters().requests;
    send(12, 8, DIR_READ);
    EXPECT_TRUE(quiet(500));
    EXPECT_EQ(sim->counters().requests, before);
    EXPECT_FALSE(traced("ERROR_STATE (0,3)"));
}

TEST_F(EngineTest, ChecksumErrorIsRetriedThenGivenUpWithItsTriple) {
    ASSERT_EQ(drvStart(), 1);
    station::Faults f = sim->faults();
    f.wrongBcc = true;
    f.replies = 1;
    sim->setFaults(f);
    send(12, V6_ADDRESS(V6_WGS_PICTURE, 3), DIR_READ);
    auto got = collect(7);
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[0]->errGroup, 0u);
    EXPECT_TRUE(traced("setErr() grp = 14, rc = 47 Sub:0"));
    EXPECT_TRUE(traced("ERROR_STATE (0,3)"));
    giveBackTaken();

    // Every reply bad: four attempts, then the request comes back with the triple.
    f.replies = -1;
    sim->setFaults(f);
    const int before = sim->counters().requests;
    HostMsg *req = send(12, V6_ADDRESS(V6_WGS_PICTURE, 3), DIR_READ);
    got = collect(1, 10000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], req);
    EXPECT_EQ(got[0]->errGroup, 20u);
    EXPECT_EQ(got[0]->errCode, 71u);
    EXPECT_EQ(got[0]->errSub, 0u);
    EXPECT_EQ(sim->counters().requests - before, 4);
    for (const char *t : {"ERROR_STATE (0,3)", "ERROR_STATE (1,3)", "ERROR_STATE (2,3)", "ERROR_STATE (3,3)"})
        EXPECT_TRUE(traced(t)) << t;
    // The port is reopened and the channel serves again.
    ASSERT_TRUE(eventually([&] { return line().state.load() == ST_IDLE && line().pauseIo.load() == 0; }));
    f.wrongBcc = false;
    sim->setFaults(f);
    send(12, V6_MAS_READ, DIR_READ);
    EXPECT_EQ(collect(1).size(), 1u);
}

TEST_F(EngineTest, SilentStationTimesOut) {
    line().maxRetries = 0;
    station::Faults f = sim->faults();
    f.silent = true;
    sim->setFaults(f);
    ASSERT_EQ(drvStart(), 1);
    send(12, V6_MAS_READ, DIR_READ);
    auto got = collect(1, 13000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->errGroup, 20u);
    EXPECT_EQ(got[0]->errCode, 83u);
    EXPECT_TRUE(traced("setErr() grp = 14, rc = 53 Sub:0"));
    EXPECT_TRUE(traced("ERROR_STATE (0,0)"));
}

TEST_F(EngineTest, EmptyHostPoolPausesTheReplyUntilMessagesComeBack) {
    setPool(4);  // the request takes one
    ASSERT_EQ(drvStart(), 1);
    send(12, V6_ADDRESS(V6_WGS_PICTURE, 3), DIR_READ);
    std::vector<int32_t> values;
    for (int round = 0; round < 5 && values.size() < 7; ++round) {
        auto got = collect(7 - values.size(), 1000);
        if (values.size() + got.size() < 7) {
            EXPECT_EQ(line().state.load(), ST_REPLY);
            EXPECT_EQ(line().step.load(), STEP_WGS_PARSE);
        }
        for (HostMsg *m : got) values.push_back(valueAs<int32_t>(m));
        giveBackTaken();
    }
    EXPECT_EQ(values, (std::vector<int32_t>{101, 102, 103, 104, 105, 106, 107}));
    EXPECT_TRUE(eventually([&] { return line().state.load() == ST_IDLE; }));
}

TEST_F(EngineTest, StopWaitsForTheLowLevelThreadsAndReturnsEveryBuffer) {
    ASSERT_EQ(drvStart(), 1);
    send(12, V6_MAS_READ, DIR_READ);
    ASSERT_EQ(collect(1).size(), 1u);
    drvStop();
    drvHndlTimer();
    // The channel thread stops its receiver and transmitter at its next idle pass; until
    // then the stop stays incomplete.
    if (line().lowLevelRunning.load()) {
        EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPING);
    }
    stopDriver();
    EXPECT_TRUE(traced("LowLevel stopped"));
    EXPECT_EQ(countTraced("Thread stopped successfully"), 3);
    EXPECT_EQ(line().channelThread, nullptr);
}
