// The connection event hooks of a v6 channel: the dial-in alarm conversation, stations
// calling in, and the hang-up.
#include "engine_fixture.h"

using namespace v6;
using namespace v6test;

namespace {

constexpr const char *kDialupProfile = R"(
[Chan1]
HYDRIXDefault=0
DeviceName=line1
Nodes=12 7
[Chan1\Dialup]
PostEventDb=0
PostEventOffset=6
PostEventValue=42
)";

}  // namespace

TEST_F(EngineTest, DialInConversationFromConnectToRelease) {
    ASSERT_EQ(drvStart(), 1);
    int32_t flag = 77;
    EXPECT_EQ(preEvent(kLine, 1, 0, &flag), -1);
    EXPECT_EQ(flag, 77);
    // "OK" -> ALR from plant 12 -> ALO -> WCA -> ALR (its second alarm) ends it.
    ASSERT_TRUE(eventually([&] { return traced("Recv ALN Send BREAK ??"); }));
    EXPECT_EQ(sim->counters().ok, 1);
    EXPECT_EQ(sim->counters().alo, 1);
    EXPECT_EQ(sentCount("12 WCA 0 "), 1);
    EXPECT_EQ(sim->model().plants[0].alarms.size(), 1u);
    EXPECT_EQ(preEvent(kLine, 4, 0, &flag), 12);
    EXPECT_EQ(preEvent(kLine, 2, 0, &flag), 12);
    EXPECT_EQ(flag, 0);

    ASSERT_TRUE(eventually([&] { return canDisconnect(kLine) == 1; }));
    EXPECT_TRUE(traced("canDisconnect: TRUE"));
    // The release: BRK goes out, then the channel may hang up.
    EXPECT_EQ(postEvent(kLine), 0);
    EXPECT_EQ(canDisconnect(kLine), 0);
    ASSERT_TRUE(eventually([&] { return postEvent(kLine) == 1; }));
    EXPECT_EQ(sim->counters().brk, 1);
    EXPECT_EQ(sentCount("12 BRK"), 1);
    EXPECT_TRUE(quiet(100));
}

TEST_F(EngineTest, StationCallingInIsAwaitedWithItsOk) {
    ASSERT_EQ(drvStart(), 1);
    for (int event : {5, 7}) {
        SCOPED_TRACE(event);
        int32_t flag = 1;
        preEvent(kLine, event, 0, &flag);
        EXPECT_EQ(line().state.load(), ST_REPLY);
        EXPECT_EQ(line().step.load(), STEP_CALL_IN);
        EXPECT_EQ(line().timeoutMs.load(), CALL_IN_TIMEOUT_MS);
        // Anything but "OK" is dropped while waiting.
        sim->sendCallIn(12, false);
        usleep(300000);
        EXPECT_EQ(line().step.load(), STEP_CALL_IN);
        sim->sendOk();
        ASSERT_TRUE(eventually([&] { return line().state.load() == ST_IDLE && line().step.load() == STEP_NONE; }));
        EXPECT_TRUE(eventually([&] { return canDisconnect(kLine) == 1; }));
    }
}

TEST_F(EngineTest, UnsolicitedFramesWhileIdle) {
    ASSERT_EQ(drvStart(), 1);
    sim->sendMrc(7);
    ASSERT_TRUE(eventually([&] { return line().replyStation.load() == 7; }));
    sim->sendCallIn(12, false);
    ASSERT_TRUE(eventually([&] { return traced("Recv ACT"); }));
    EXPECT_TRUE(eventually([&] { return line().replyStation.load() == 12 && line().state.load() == ST_IDLE; }));
}

// Hooks that only touch the record and the queues, on a channel that is not started.
TEST_F(V6Test, HooksOnAChannelAtRest) {
    ASSERT_FALSE(hydrix::rt::loadProfileText(kDialupProfile));
    hydrix::rt::configurePool(1, 16, 64);
    ASSERT_EQ(drvInstall("Driver"), 1);
    ASSERT_EQ(drvAddChan(1, "Chan1"), 1);
    V6Channel &c = v6Channels[1];
    c.state.store(ST_IDLE);
    c.step.store(STEP_NONE);
    c.callerStation.store(-1);
    int32_t flag = 5;
    EXPECT_EQ(preEvent(1, 3, 7, &flag), 0);
    EXPECT_EQ(preEvent(1, 3, 99, &flag), -1);
    EXPECT_EQ(preEvent(1, 0x108, 0, &flag), -1);  // only the low 8 bits name the event
    EXPECT_EQ(flag, 5);

    for (int i = 0; i < 3; ++i) putMsgToSapOq(1, getMsgFromPool(1));
    EXPECT_EQ(canDisconnect(1), 0);  // requests waiting, and not ready
    EXPECT_EQ(hydrix::rt::outputQueueLength(1), 3);
    EXPECT_EQ(preEvent(1, 8, 0, &flag), -1);
    EXPECT_EQ(hydrix::rt::outputQueueLength(1), 0);
    EXPECT_EQ(hydrix::rt::poolAvailable(1), 16);
    EXPECT_EQ(canDisconnect(1), 0);  // idle, but not ready

    // Connected: the "OK" request is queued for the station last addressed.
    c.currentStation.store(12);
    preEvent(1, 1, 0, &flag);
    EXPECT_EQ(c.disconnectReady.load(), 1u);
    EXPECT_EQ(c.currentStation.load(), -1);
    HostMsg *ok = getMsgFromSapOq(1);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->address, uint32_t{V6_OK});
    EXPECT_EQ(ok->node, 12u);
    putMsgToPool(1, ok);
    EXPECT_EQ(canDisconnect(1), 1);

    // The release queues the configured write, then BRK, and waits for them.
    c.currentStation.store(12);
    EXPECT_EQ(postEvent(1), 0);
    HostMsg *write = getMsgFromSapOq(1), *brk = getMsgFromSapOq(1);
    ASSERT_TRUE(write && brk);
    EXPECT_EQ(write->address, 0u);
    EXPECT_EQ(write->index, 6u);
    EXPECT_EQ(valueAs<uint16_t>(write), 42);
    EXPECT_EQ(brk->address, uint32_t{V6_BRK});
    putMsgToPool(1, write);
    putMsgToPool(1, brk);
    EXPECT_EQ(postEvent(1), 0);
    c.hangupPending.store(0);  // what the channel thread does once BRK went out
    EXPECT_EQ(postEvent(1), 1);
    EXPECT_EQ(c.disconnectReady.load(), 1u);
    // Busy: the host has to ask again.
    c.state.store(ST_SENDING);
    EXPECT_EQ(postEvent(1), 0);
    EXPECT_EQ(hydrix::rt::outputQueueLength(1), 0);
    drvUnInstall();
}
