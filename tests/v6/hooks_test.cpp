// The connection event hooks of a v6 channel.
#include "engine_fixture.h"

using namespace v6;

TEST_F(EngineTest, DialInConversationFromConnectToRelease) {
    ASSERT_EQ(drvStart(), 1);
    int32_t flag = 77;
    EXPECT_EQ(preEvent(kLine, 1, 0, &flag), -1);
    // "OK" -> ALR from plant 12 -> ALO -> WCA -> ALR with its second alarm ends it.
    ASSERT_TRUE(eventually([&] { return traced("Recv ALN Send BREAK ??"); }));
    EXPECT_EQ(sim->counters().ok, 1);
    EXPECT_EQ(sim->counters().alo, 1);
    EXPECT_EQ(sentCount("12 WCA 0 "), 1);
    EXPECT_EQ(preEvent(kLine, 2, 0, &flag), 12);
    EXPECT_EQ(flag, 0);
    ASSERT_TRUE(eventually([&] { return canDisconnect(kLine) == 1; }));
    EXPECT_EQ(postEvent(kLine), 0);  // BRK queued
    EXPECT_EQ(canDisconnect(kLine), 0);
    ASSERT_TRUE(eventually([&] { return postEvent(kLine) == 1; }));
    EXPECT_TRUE(eventually([&] { return sentCount("12 BRK") == 1; }));
}

TEST_F(EngineTest, StationsCallingInAreAwaitedWithTheirOk) {
    ASSERT_EQ(drvStart(), 1);
    for (int event : {5, 7}) {
        int32_t flag = 1;
        preEvent(kLine, event, 0, &flag);
        EXPECT_EQ(line().step.load(), STEP_CALL_IN);
        EXPECT_EQ(line().timeoutMs.load(), CALL_IN_TIMEOUT_MS);
        sim->sendCallIn(12, false);  // anything but "OK" is dropped meanwhile
        usleep(300000);
        EXPECT_EQ(line().step.load(), STEP_CALL_IN);
        sim->sendOk();
        EXPECT_TRUE(eventually([&] { return line().state.load() == ST_IDLE && line().step.load() == STEP_NONE; }));
    }
    sim->sendMrc(7);  // unsolicited frames while idle
    EXPECT_TRUE(eventually([&] { return line().replyStation.load() == 7; }));
}

// Hooks on a channel that is added but not started: only the record and the queues.
TEST_F(V6Test, HooksOnAChannelAtRest) {
    ASSERT_FALSE(
        hydrix::rt::loadProfileText("[Chan1]\nHYDRIXDefault=0\nDeviceName=l\nNodes=12 7\n"
                                    "[Chan1\\Dialup]\nPostEventDb=0\nPostEventOffset=6\nPostEventValue=42\n"));
    hydrix::rt::configurePool(1, 16, 64);
    ASSERT_EQ(drvInstall("Driver"), 1);
    ASSERT_EQ(drvAddChan(1, "Chan1"), 1);
    V6Channel &c = v6Channels[1];
    c.callerStation.store(-1);
    c.step.store(STEP_NONE);  // kept from any earlier use of the record
    c.disconnectReady.store(0);
    int32_t flag = 5;
    EXPECT_EQ(preEvent(1, 3, 7, &flag), 0);
    EXPECT_EQ(preEvent(1, 3, 99, &flag), -1);
    for (int i = 0; i < 3; ++i) putMsgToSapOq(1, getMsgFromPool(1));
    EXPECT_EQ(preEvent(1, 0x108, 0, &flag), -1);  // the low 8 bits: event 8 drains the queue
    EXPECT_EQ(hydrix::rt::poolAvailable(1), 16);
    EXPECT_EQ(flag, 5);
    EXPECT_EQ(canDisconnect(1), 0);  // idle, but not ready

    c.currentStation.store(12);
    preEvent(1, 1, 0, &flag);  // the "OK" request, for the station last addressed
    HostMsg *ok = getMsgFromSapOq(1);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->address, uint32_t{V6_OK});
    EXPECT_EQ(ok->node, 12u);
    EXPECT_EQ(canDisconnect(1), 1);

    EXPECT_EQ(postEvent(1), 0);  // the configured write, then BRK
    HostMsg *write = getMsgFromSapOq(1), *brk = getMsgFromSapOq(1);
    ASSERT_TRUE(write && brk);
    EXPECT_EQ(write->index, 6u);
    EXPECT_EQ(valueAs<uint16_t>(write), 42);
    EXPECT_EQ(brk->address, uint32_t{V6_BRK});
    EXPECT_EQ(postEvent(1), 0);
    c.hangupPending.store(0);  // as the channel thread does once the first went out
    EXPECT_EQ(postEvent(1), 1);
    drvUnInstall();
}

// The line with a post-event write (MAS 8 = 1) configured, started.
void startWithPostEventWrite(V6Channel &c) {
    c.postEventEnabled = 1;
    c.postEventKind = V6_MAS_WRITE;
    c.postEventIndex = 8;
    c.postEventValue = 1;
    ASSERT_EQ(drvStart(), 1);
}

// The release with a post-event write: postEvent answers 1 only once the BRK itself is on
// the wire, and the BRK awaits no reply (nothing runs into a time-out or reaches the host).
TEST_F(EngineTest, ReleaseAfterAPostEventWriteWaitsForTheBreakOnly) {
    ASSERT_NO_FATAL_FAILURE(startWithPostEventWrite(line()));
    int32_t flag = 0;
    preEvent(kLine, 1, 0, &flag);
    ASSERT_TRUE(eventually([&] { return traced("Recv ALN Send BREAK ??"); }));
    ASSERT_TRUE(eventually([&] { return canDisconnect(kLine) == 1; }));
    EXPECT_EQ(postEvent(kLine), 0);
    HostMsg *waitingWhenReleased = nullptr;
    ASSERT_TRUE(eventually([&] {
        if (postEvent(kLine) != 1) return false;
        waitingWhenReleased = getMsgFromSapOq(kLine);
        if (waitingWhenReleased != nullptr) insMsgToSapOq(kLine, waitingWhenReleased);
        return true;
    }));
    EXPECT_EQ(waitingWhenReleased, nullptr) << "released before the BRK was sent";
    EXPECT_TRUE(eventually([&] { return sim->counters().brk == 1; }));
    EXPECT_EQ(sim->limitWrites().size(), 1u);
    // The BRK ends its exchange at once.
    EXPECT_TRUE(eventually([&] { return line().state.load() == ST_IDLE && line().curMsg.load() == nullptr; }, 1000));
    EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 200), nullptr);
    EXPECT_FALSE(traced("setErr() grp = 14, rc = 53 Sub:0"));
}

// The hang-up awaits nothing. The post-event write (here a setpoint write, which as a host's
// write would be followed by reading the setpoint list back) and the BRK go out once each,
// one right after the other: nothing is read back, nothing reaches the host, and postEvent
// comes to 1 within 2 s, also when the station ignores the write.
TEST_F(EngineTest, TheHangUpAwaitsNothing) {
    line().postEventEnabled = 1;
    line().postEventKind = 0;   // setpoint write, type A
    line().postEventIndex = 2;  // setpoint 1
    line().postEventValue = 1;
    ASSERT_EQ(drvStart(), 1);
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "the station ignores the write" : "the station confirms the write");
        int32_t flag = 0;
        preEvent(kLine, 1, 0, &flag);
        ASSERT_TRUE(eventually([&] { return canDisconnect(kLine) == 1; }));
        faults([&](auto &f) { f.silent = silent; });
        const size_t writes = sim->setpointWrites().size();
        const int listReads = sentCount("MCC 0 1"), breaks = sim->counters().brk;
        const auto queued = std::chrono::steady_clock::now();
        ASSERT_TRUE(eventually([&] { return postEvent(kLine) == 1; }));
        EXPECT_LT(std::chrono::steady_clock::now() - queued, std::chrono::seconds(2));
        EXPECT_EQ(sim->counters().brk, breaks + 1);
        EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 500), nullptr);
        EXPECT_EQ(sim->setpointWrites().size(), writes + 1);
        EXPECT_EQ(sentCount("MCC 0 1"), listReads);
        faults([](auto &f) { f.silent = false; });
    }
    EXPECT_FALSE(traced("ERROR_STATE (0,3)"));
}

// postEvent comes to 1 however the closing went: an unexpected answer in the alarm
// conversation, closing requests that the empty host pool dropped, or requests drained by
// event 8 before the channel sent them.
TEST_F(EngineTest, ReleaseComesToAnEndWhateverHappenedToTheClosingRequests) {
    ASSERT_NO_FATAL_FAILURE(startWithPostEventWrite(line()));
    int32_t flag = 0;

    // "SCE" to the "OK" telegram: neither ALR nor ALN.
    faults([](auto &f) { f.forceReply = "SCE", f.replies = 1; });
    preEvent(kLine, 1, 0, &flag);
    ASSERT_TRUE(eventually([&] { return sim->counters().ok == 1; }));
    EXPECT_TRUE(eventually([&] { return postEvent(kLine) == 1; })) << "after an unexpected answer";

    // The host pool is empty when postEvent queues the write and the BRK.
    preEvent(kLine, 1, 0, &flag);  // the "OK" request again; answered ALN
    ASSERT_TRUE(eventually([&] { return sim->counters().ok == 2 && canDisconnect(kLine) == 1; }));
    std::vector<HostMsg *> held;
    while (HostMsg *m = getMsgFromPool(kLine)) held.push_back(m);
    EXPECT_EQ(postEvent(kLine), 0);
    EXPECT_TRUE(eventually([&] { return postEvent(kLine) == 1; })) << "after the pool dropped the closing requests";
    giveBack(held, kLine);

    // Event 8 drains the closing requests before the channel takes them.
    ASSERT_TRUE(eventually([&] { return canDisconnect(kLine) == 1; }));
    hydrix::rt::setHostReady(false);  // the channel takes nothing meanwhile
    EXPECT_EQ(postEvent(kLine), 0);
    preEvent(kLine, 8, 0, &flag);
    EXPECT_EQ(getMsgFromSapOq(kLine), nullptr);
    hydrix::rt::setHostReady(true);
    EXPECT_TRUE(eventually([&] { return postEvent(kLine) == 1; })) << "after event 8 drained the closing requests";
}
