// The telegram engine end to end: the driver's entry points, a pseudo-terminal, and the
// station simulator at the far end.
#include <cstring>
#include <optional>
#include <thread>

#include "platform/systime.h"
#include "tg_fixture.h"

namespace {

using namespace hydrix;

constexpr const char *kProfile = R"(
[Driver]
Debug=0
[Chan0]
HYDRIXDefault=1
Retries=2
Nodes=40 41
[Chan0\Node40]
PlantNumber=12
[Chan0\Node41]
PlantNumber=7
[Chan1]
Retries=0
Nodes=50
[Chan1\Node50]
PlantNumber=12
)";

station::LocalTime at(int y, int mo, int d, int h, int mi) { return {y, mo, d, h, mi}; }

station::Model testModel() {
    station::Plant p;
    p.plantNumber = 12;
    p.pictures[3] = station::Picture{{1, 2, 3, 4, 5, 6, 7, 8}, {10.5, 11, 12, 13}};
    p.reportRows = {{1, 2, 3, 4}, {5, 6, 7, 8, 9}};
    p.setpoints[1] = {'0', 12, ""};
    p.setpoints[2] = {'2', 3.14, ""};
    p.setpoints[5] = {'T', 0, "abc"};
    for (int h = 20; h < 26; ++h)
        p.history.push_back({at(2026, 3, 14 + h / 24, h % 24, 0), {double(h), 0.5}});
    p.alarms.push_back({17, at(2026, 12, 4, 10, 30), -1, "A", {"0", "0", "0", "0", "0", "0"}});
    p.alarms.push_back({18, at(2026, 7, 4, 10, 30), 45, "x", {"0", "0", "0", "0", "0", "0"}});
    station::Plant q;
    q.plantNumber = 7;
    station::Model m;
    m.plants = {p, q};
    return m;
}

OrvelTime utc(int y, int mo, int d, int h, int mi, int s = 0) {
    plat::SystemTime st{static_cast<uint16_t>(y), static_cast<uint16_t>(mo), 0,
                        static_cast<uint16_t>(d), static_cast<uint16_t>(h),
                        static_cast<uint16_t>(mi), static_cast<uint16_t>(s), 0};
    plat::FileTime ft = 0;
    plat::systemTimeToFileTime(&st, &ft);
    return ft;
}

// One channel's line: a pty port and a simulator on its master side.
struct Line {
    PtyPort port;
    station::Simulator sim;
    explicit Line(int channel) : port(channel, 2000), sim(port.pty.master(), testModel()) { sim.start(); }
    ~Line() { sim.stop(); }
    int count(const std::string &command) {
        int n = 0;
        for (const auto &t : sim.receivedTelegrams()) n += t.find(command) != std::string::npos;
        return n;
    }
};

class Engine : public ::testing::Test {
protected:
    TraceCapture trace;
    std::optional<Line> line0, line1;

    void SetUp() override {
        useCentralEuropeanTime();
        rt::resetQueues();
        ASSERT_FALSE(rt::loadProfileText(kProfile));
        line0.emplace(0);
        ASSERT_EQ(drvInstall("Driver"), 1);
        ASSERT_EQ(drvAddChan(0, "Chan0"), 1);
        ASSERT_EQ(drvInitComm(0, getCommHandle(0)), 1);
    }
    void start() { ASSERT_EQ(drvStart(), 1); }
    void TearDown() override {
        drvStop();
        for (int i = 0; i < 50 && drvQueryState() != DRV_STATE_STOPPED; ++i) drvHndlTimer();
        drvUnInstall();
        line0.reset();
        line1.reset();
        rt::resetQueues();
    }
    static HostMsg *request(uint32_t node, uint32_t kind, uint32_t item, uint32_t direction,
                            uint32_t index = 0, int32_t length = 0, int channel = 0) {
        HostMsg *m = getMsgFromPool(channel);
        m->node = node;
        m->address = TELEGRAM_ADDRESS(kind, item);
        m->direction = direction;
        m->index = index;
        m->length = length;
        m->errGroup = m->errCode = 99;
        m->errSub = 5;
        return m;
    }
    static HostMsg *submit(HostMsg *m, int channel = 0) {
        putMsgToSapOq(channel, m);
        return m;
    }
    static HostMsg *result(int channel = 0, int ms = 5000) { return rt::waitInputQueue(channel, ms); }
    static float value(const HostMsg *m, int i) { return static_cast<const float *>(m->data)[i]; }
    static void expectError(const HostMsg *m, uint32_t group, uint32_t code, uint32_t sub) {
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->errGroup, group);
        EXPECT_EQ(m->errCode, code);
        EXPECT_EQ(m->errSub, sub);
    }
};

TEST_F(Engine, PictureAfterOkReplies) {
    start();
    station::Faults f;
    f.okRepliesBefore = 2;
    f.replies = 1;
    line0->sim.setFaults(f);
    submit(request(40, KIND_PICTURE, 3, DIR_READ, 3, 4));  // odd index: values 1 and 2
    HostMsg *m = result();
    expectError(m, 0, 0, 5);
    EXPECT_FLOAT_EQ(value(m, 0), 11);
    EXPECT_FLOAT_EQ(value(m, 1), 12);
    EXPECT_EQ(line0->sim.receivedTelegrams().at(0), "\x01 12 WGS P 0 ! 3 # 776 \r");
}

TEST_F(Engine, ReportAndItsShortReply) {
    start();
    submit(request(40, KIND_REPORT, 0, DIR_READ_TIME, 0, 20));
    HostMsg *m = result();
    expectError(m, 0, 0, 5);
    const float expected[] = {1, 1, 2, 3, 4, 5, 6, 7, 8, 9};  // the first number twice
    for (int i = 0; i < 10; ++i) EXPECT_FLOAT_EQ(value(m, i), expected[i]) << i;
    submit(request(40, KIND_REPORT, 0, DIR_READ, 0, 22));
    expectError(result(), ERRGRP_CONTENT, ERR_REPORT_SHORT, 3);
    EXPECT_EQ(line0->count("WGD"), 1 + 3);  // tried Retries + 1 times
}

TEST_F(Engine, SetpointReadAndWrites) {
    start();
    submit(request(40, KIND_SETPOINTS, 0, DIR_READ, 2, 12));
    HostMsg *m = result();
    expectError(m, 0, 0, 5);
    const float expected[] = {12, 3.14f, 0, 0, 0, 0};  // 3, 4 and 6 unlisted, 5 a text
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(value(m, i), expected[i]) << i;

    HostMsg *w = request(40, KIND_SETPOINTS, 0, DIR_WRITE, 4, 2);
    const float pi = 3.14159f;
    std::memcpy(w->data, &pi, sizeof pi);
    submit(w);
    expectError(result(), 0, 0, 5);
    HostMsg *whole = request(40, KIND_SETPOINTS, 0, DIR_WRITE, 2, 2);
    const float neg = -12.9f;
    std::memcpy(whole->data, &neg, sizeof neg);
    submit(whole);
    expectError(result(), 0, 0, 5);
    const auto writes = line0->sim.setpointWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].number, 2);
    EXPECT_EQ(writes[0].type, "2");
    EXPECT_EQ(writes[0].value, "3.14");
    EXPECT_EQ(writes[1].value, "-12");

    submit(request(40, KIND_SETPOINTS, 0, DIR_WRITE, 18, 2));   // 9: not listed
    expectError(result(), ERRGRP_WRITE_PARAM, ERR_SETPOINT_TYPE, 9);
    submit(request(40, KIND_SETPOINTS, 0, DIR_WRITE, 256, 2));  // 128
    expectError(result(), ERRGRP_WRITE_PARAM, ERR_SETPOINT_INDEX, 128);
    EXPECT_EQ(line0->sim.setpointWrites().size(), 2u);
}

TEST_F(Engine, HistoryInPassesUntilNoData) {
    start();
    HostMsg *req = request(40, KIND_HISTORY, 0, DIR_READ);
    const OrvelTime zero = 0;
    std::memcpy(req->data, &zero, sizeof zero);
    submit(req);
    // Records in local time 14 March 20:00 .. 15 March 01:00 (UTC+1), four per reply.
    std::vector<OrvelTime> records, reports;
    for (HostMsg *m; records.size() + reports.size() < 9 && (m = result()) != nullptr;) {
        expectError(m, 0, 0, 0);
        EXPECT_EQ(m->address, 0x300u);
        if (m->direction == DIR_READ_TIME) {
            reports.push_back(m->timeStamp);
            continue;
        }
        records.push_back(m->timeStamp);
        EXPECT_EQ(m->length, 4);
        EXPECT_FLOAT_EQ(value(m, 0), 20.0f + static_cast<float>(records.size() - 1));
    }
    ASSERT_EQ(records.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(records[i], utc(2026, 3, 14, 19, 0) + i * 36000000000ULL) << i;
    EXPECT_EQ(reports, (std::vector<OrvelTime>{records[3], records[5], 0}));
    EXPECT_EQ(line0->count("WGH"), 3);
    EXPECT_EQ(line0->sim.receivedTelegrams().at(0).substr(0, 23), "\x01 12 WGH 01 01 01 00 00");
    EXPECT_EQ(result(0, 300), nullptr);  // the request itself went back to the pool
}

TEST_F(Engine, CallInReadsAndAcknowledgesEveryAlarm) {
    start();
    line0->sim.sendCallIn(12, true);
    int32_t flag = 0;
    EXPECT_EQ(preEvent(0, 2, 0, &flag), 40);
    EXPECT_EQ(flag, 1);
    HostMsg *a = result();
    expectError(a, 0, 0, 0);
    EXPECT_EQ(a->address, 0x400u);
    EXPECT_EQ(a->index, 17u);
    EXPECT_EQ(*static_cast<uint16_t *>(a->data), 0xFFFF);
    EXPECT_EQ(a->timeStamp, utc(2026, 12, 4, 9, 30));
    HostMsg *b = result();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->index, 18u);
    EXPECT_EQ(*static_cast<uint16_t *>(b->data), 0);
    EXPECT_EQ(b->timeStamp, utc(2026, 7, 4, 8, 30, 45));
    EXPECT_EQ(result(0, 500), nullptr);  // ALN ends the series quietly
    EXPECT_EQ(line0->sim.aloCount(), 2);
    EXPECT_EQ(line0->count(" 12 ALO #"), 2);
    EXPECT_TRUE(line0->sim.model().find(12)->alarms.empty());
}

TEST_F(Engine, CallerIdentificationFailures) {
    start();
    line0->sim.sendOk();
    int32_t flag = 0;
    EXPECT_EQ(preEvent(0, 2, 0, &flag), -1);
    EXPECT_EQ(rt::outputQueueLength(0), 0);
    EXPECT_EQ(preEvent(0, 99, 0, &flag), -1);
    EXPECT_EQ(flag, 1);
}

TEST_F(Engine, MachineCommandsAndUnknownKinds) {
    start();
    HostMsg *cmd = request(40, KIND_MACHINE, 3, DIR_WRITE, 7);
    *static_cast<uint16_t *>(cmd->data) = 2;
    submit(cmd);
    expectError(result(), 0, 0, 5);
    HostMsg *bad = request(40, KIND_MACHINE, 3, DIR_WRITE, 7);
    *static_cast<uint16_t *>(bad->data) = 4;
    submit(bad);
    expectError(result(), ERRGRP_WRITE_PARAM, ERR_MACHINE_COMMAND, 4);
    const auto cmds = line0->sim.machineCommands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].plant, 12);
    EXPECT_EQ(cmds[0].machine, 7);
    EXPECT_EQ(cmds[0].letter, 'B');
    EXPECT_EQ(cmds[0].picture, 3);

    submit(request(40, KIND_MACHINE, 0, DIR_READ));
    submit(request(40, KIND_PICTURE, 0, DIR_WRITE));
    submit(request(40, 9, 0, DIR_READ_TIME));
    expectError(result(), ERRGRP_CONTENT, ERR_UNKNOWN_READ, 5);
    expectError(result(), ERRGRP_CONTENT, ERR_UNKNOWN_WRITE, 0);
    expectError(result(), ERRGRP_CONTENT, ERR_UNKNOWN_READ, 9);
}

TEST_F(Engine, FinalFailureResetsTheLineWithBreak) {
    start();
    int32_t flag = 0;
    preEvent(0, 1, 0, &flag);  // no station on the line: the first request names it
    station::Faults f;
    f.wrongBcc = true;
    f.replies = 3;
    line0->sim.setFaults(f);
    submit(request(40, KIND_SETPOINTS, 0, DIR_READ, 2, 2));
    expectError(result(), ERRGRP_LINE, ERR_BCC, tg::TAG_SETPOINT);
    EXPECT_TRUE(trace.has("setErr() grp = 20, rc = 04503 sub: 0x3"));
    // A later request gets its full retries again and succeeds.
    submit(request(40, KIND_SETPOINTS, 0, DIR_READ, 2, 2));
    expectError(result(), 0, 0, 5);
    const auto sent = line0->sim.receivedTelegrams();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[3], "\x01 12 BRK # 418 \r");
}

TEST_F(Engine, CanDisconnectOnlyWhenIdle) {
    HostMsg *waiting = submit(request(40, KIND_PICTURE, 3, DIR_READ));
    EXPECT_EQ(canDisconnect(0), 0);  // not started: the request waits at the head
    EXPECT_EQ(getMsgFromSapOq(0), waiting);
    putMsgToPool(0, waiting);
    start();
    int32_t flag = 0;
    preEvent(0, 1, 0, &flag);
    submit(request(41, KIND_PICTURE, 3, DIR_READ));
    ASSERT_NE(result(), nullptr);  // plant 7 has no picture 3: answered NDA, done
    EXPECT_EQ(canDisconnect(0), 1);
    EXPECT_TRUE(trace.has("[0] Driver ready to disconnect"));
    EXPECT_TRUE(line0->sim.waitForTelegrams(2, 2000));
    EXPECT_EQ(line0->count(" 7 BRK #"), 1);
    EXPECT_EQ(postEvent(0), 1);
}

// A station that never answers: the request fails with the time-out after about five
// seconds, while the other channel goes on serving.
TEST_F(Engine, SilentStationTimesOutWithoutHoldingUpOtherChannels) {
    line1.emplace(1);
    ASSERT_EQ(drvAddChan(1, "Chan1"), 1);
    ASSERT_EQ(drvInitComm(1, getCommHandle(1)), 1);
    CommSettings cs{};
    getDefaultCommSettings(1, getCommHandle(1), &cs);
    cs.timeouts = CommTimeouts{0, 0, 1000, 0, 200};
    configComm(1, getCommHandle(1), &cs);
    station::Faults f;
    f.silent = true;
    line1->sim.setFaults(f);
    start();
    submit(request(50, KIND_PICTURE, 3, DIR_READ, 0, 2, 1), 1);
    for (int i = 0; i < 5; ++i) {
        submit(request(40, KIND_PICTURE, 3, DIR_READ, 0, 2));
        expectError(result(0, 1000), 0, 0, 5);
    }
    expectError(result(1, 9000), ERRGRP_LINE, ERR_TIMEOUT, 0);
    EXPECT_TRUE(line1->sim.waitForTelegrams(2, 2000));
    EXPECT_EQ(line1->count(" 0 BRK #"), 1);  // no connection event named a station yet
}

}  // namespace
