// The telegram engine end to end: the driver's entry points, a pseudo-terminal, and the
// station simulator at the far end.
#include <bit>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

#include "common/driver_fixture.h"
#include "common/station_line.h"
#include "telegram/pool.h"
#include "tg_fixture.h"

namespace {

using namespace hydrix;

constexpr const char *kProfile =
    "[Chan0]\nRetries=2\nNodes=40 41\n[Chan0\\Node40]\nPlantNumber=12\n[Chan0\\Node41]\nPlantNumber=7\n";

station::Model testModel() {
    station::Plant p;
    p.plantNumber = 12;
    p.pictures = {{3, {{1, 2, 3, 4, 5, 6, 7, 8}, {10.5, 11, 12, 13}}}, {4, {std::vector<double>(8), {}}}};
    p.reportRows = {{0, 1, 2, 3, 4}, {5, 6, 7, 8, 9}};  // value 0 stays off a telegram line
    p.setpoints = {{1, {'0', 12, ""}}, {2, {'2', 3.14, ""}}, {5, {'T', 0, "abc"}}, {127, {'S', 5, ""}}};
    for (int i = 0; i < 300; ++i) p.pictures[4].values.push_back(i);
    for (int h = 20; h < 26; ++h) p.history.push_back({{2026, 3, 14 + h / 24, h % 24, 0}, {h + 0.0, 0.5}});
    p.alarms = {{.code = 17, .time = {2026, 12, 4, 10, 30}},
                {.code = 18, .time = {2026, 7, 4, 10, 30}, .second = 45, .flag = "x"}};
    station::Model m{.plants = {p, {}}};
    m.plants[1].plantNumber = 7;
    return m;
}

class Engine : public DriverTest {
protected:
    std::optional<StationLine> line0;

    void SetUp() override {
        DriverTest::SetUp();
        useCentralEuropeanTime();
        useProfile(kProfile);
        line0.emplace(0, totalReadTimeout(2000), testModel());
        ASSERT_EQ(drvInstall("Driver"), 1);
        ASSERT_EQ(drvAddChan(0, "Chan0"), 1);
        ASSERT_EQ(drvInitComm(0, getCommHandle(0)), 1);
    }
    void TearDown() override {
        stopDriver();
        release();
        DriverTest::TearDown();
        line0.reset();
        rt::configurePool(0, 64, 2048);
        tg::poolRetryMs.store(200);
    }
    // Gives the results so far back to the pool.
    void release() {
        for (HostMsg *m : results) putMsgToPool(0, m);
        results.clear();
    }
    // Queues a request; errGroup and errCode must come back cleared, errSub as it was.
    static HostMsg *submit(uint32_t node, uint32_t kind, uint32_t item, uint32_t direction, uint32_t index = 0,
                           int32_t length = 0, uint32_t word = 0) {
        HostMsg *m = getMsgFromPool(0);
        m->node = node;
        m->address = TELEGRAM_ADDRESS(kind, item);
        m->index = index;
        m->direction = direction;
        m->length = length;
        m->errGroup = m->errCode = 99;
        m->errSub = 5;
        std::memcpy(m->data, &word, sizeof word);
        putMsgToSapOq(0, m);
        return m;
    }
    // A result; it goes back to the pool when the test ends.
    HostMsg *result(int ms = 5000) {
        HostMsg *m = rt::waitInputQueue(0, ms);
        if (m != nullptr) results.push_back(m);
        return m;
    }
    // Queues a request and waits for its result.
    HostMsg *ask(auto... args) {
        submit(args...);
        return result();
    }
    std::vector<HostMsg *> results;
    static std::vector<float> values(const HostMsg *m, int n) {
        if (m == nullptr) return {};
        const auto *v = static_cast<const float *>(m->data);
        return std::vector<float>(v, v + n);
    }
    static void expectError(const HostMsg *m, uint32_t group, uint32_t code, uint32_t sub) {
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(Triple({m->errGroup, m->errCode, m->errSub}), Triple({group, code, sub}));
    }
    static HostMsg *ok(HostMsg *m) {  // `m`, checked to be free of errors (errSub as sent)
        expectError(m, 0, 0, 5);
        return m;
    }
};

TEST_F(Engine, PictureAfterOkRepliesAndReports) {
    drvStart();
    line0->fail(1, [](station::Faults &f) { f.okRepliesBefore = 2; });
    // An odd index starts at value 1.
    EXPECT_EQ(values(ok(ask(40, KIND_PICTURE, 3, DIR_READ, 3, 4)), 2), (std::vector<float>{11, 12}));

    // The first number counts twice.
    EXPECT_EQ(values(ok(ask(40, KIND_REPORT, 0, DIR_READ_TIME, 0, 20)), 10),
              (std::vector<float>{1, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    expectError(ask(40, KIND_REPORT, 0, DIR_READ, 0, 22), ERRGRP_CONTENT, ERR_REPORT_SHORT, 3);
    EXPECT_EQ(line0->sent("WGD"), 1 + 3);  // tried Retries + 1 times

    // A picture list keeps 256 entries (8 header, values 0..247); a report list 129.
    EXPECT_EQ(values(ask(40, KIND_PICTURE, 4, DIR_READ, 2 * 247, 2), 1), std::vector<float>{247});
    expectError(ask(40, KIND_PICTURE, 4, DIR_READ, 2 * 248, 2), ERRGRP_CONTENT, ERR_PICTURE_SHORT, 4);
    line0->sim.editModel([](station::Model &m) {  // 131 numbers: 130 on the line, 131 listed
        m.find(12)->reportRows.assign(26, {1, 2, 3, 4, 5});
        m.find(12)->reportRows.push_back({6});
    });
    expectError(ask(40, KIND_REPORT, 0, DIR_READ, 0, 2), ERRGRP_CONTENT, ERR_REPORT_COUNT, 131);
}

TEST_F(Engine, SetpointsMachineCommandsAndUnknownKinds) {
    drvStart();
    // 3, 4 and 6 are not listed, 5 is a text.
    EXPECT_EQ(values(ok(ask(40, KIND_SETPOINTS, 0, DIR_READ, 2, 12)), 6), (std::vector<float>{12, 3.14f, 0, 0, 0, 0}));
    EXPECT_EQ(values(ask(40, KIND_SETPOINTS, 0, DIR_READ, 2 * 127, 6), 3), (std::vector<float>{5, 0, 0}));

    ok(ask(40, KIND_SETPOINTS, 0, DIR_WRITE, 4, 2, std::bit_cast<uint32_t>(3.14159f)));
    ok(ask(40, KIND_SETPOINTS, 0, DIR_WRITE, 2, 2, std::bit_cast<uint32_t>(-12.9f)));
    expectError(ask(40, KIND_SETPOINTS, 0, DIR_WRITE, 18, 2), ERRGRP_WRITE_PARAM, ERR_SETPOINT_TYPE, 9);
    expectError(ask(40, KIND_SETPOINTS, 0, DIR_WRITE, 256, 2), ERRGRP_WRITE_PARAM, ERR_SETPOINT_INDEX, 128);
    const auto w = line0->sim.setpointWrites();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].number * 1000 + w[1].number, 2001);
    EXPECT_EQ(w[0].type + "|" + w[0].value + "|" + w[1].type + "|" + w[1].value, "2|3.14|0|-12");

    ok(ask(40, KIND_MACHINE, 3, DIR_WRITE, 7, 0, 2));
    expectError(ask(40, KIND_MACHINE, 3, DIR_WRITE, 7, 0, 4), ERRGRP_WRITE_PARAM, ERR_MACHINE_COMMAND, 4);
    const auto cmds = line0->sim.machineCommands();
    ASSERT_EQ(cmds.size(), 1u);  // the unknown command never went out
    EXPECT_EQ(std::make_tuple(cmds[0].plant, cmds[0].machine, cmds[0].letter, cmds[0].picture),
              std::make_tuple(12, 7, 'B', 3));

    submit(40, KIND_MACHINE, 0, DIR_READ);
    submit(40, KIND_PICTURE, 0, DIR_WRITE);
    submit(40, 9, 0, DIR_READ_TIME);
    expectError(result(), ERRGRP_CONTENT, ERR_UNKNOWN_READ, 5);
    expectError(result(), ERRGRP_CONTENT, ERR_UNKNOWN_WRITE, 0);
    expectError(result(), ERRGRP_CONTENT, ERR_UNKNOWN_READ, 9);
}

TEST_F(Engine, HistoryInPassesUntilNoData) {
    drvStart();
    submit(40, KIND_HISTORY, 0, DIR_READ);  // start time zero: from 2001
    // Records at local 14 March 20:00 .. 15 March 01:00 (UTC+1), four per reply.
    std::vector<OrvelTime> records, reports;
    for (HostMsg *m; records.size() + reports.size() < 9 && (m = result()) != nullptr;) {
        expectError(m, 0, 0, 0);
        EXPECT_EQ(m->address, 0x300u);
        const bool report = m->direction == DIR_READ_TIME;
        if (!report) {
            EXPECT_EQ(values(m, 2), (std::vector<float>{20.0f + records.size(), 0.5f}));
        }
        (report ? reports : records).push_back(m->timeStamp);
    }
    ASSERT_EQ(records.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(records[i], utc(2026, 3, 14, 19, 0) + i * 36000000000ULL);
    EXPECT_EQ(reports, (std::vector<OrvelTime>{records[3], records[5], 0}));
    EXPECT_EQ(line0->sent("WGH"), 3);
    EXPECT_EQ(line0->sim.receivedTelegrams().at(0).substr(0, 23), "\x01 12 WGH 01 01 01 00 00");
    EXPECT_EQ(result(300), nullptr);  // the request itself went back to the pool
}

TEST_F(Engine, CallInReadsAndAcknowledgesEveryAlarm) {
    drvStart();
    int32_t flag = 0;
    line0->sim.sendOk();
    EXPECT_EQ(preEvent(0, 2, 0, &flag), -1);  // not an identification
    EXPECT_EQ(rt::outputQueueLength(0), 0);
    line0->sim.sendCallIn(12, true);
    EXPECT_EQ(preEvent(0, 2, 0, &flag), 40);
    EXPECT_EQ(flag, 1);
    HostMsg *a = result(), *b = result();
    for (HostMsg *m : {a, b}) expectError(m, 0, 0, 0);
    EXPECT_EQ(a->address, 0x400u);
    EXPECT_EQ(a->index * 100 + b->index, 1718u);
    const auto flagOf = [](const HostMsg *m) { return *static_cast<const uint16_t *>(m->data); };
    EXPECT_EQ(std::make_pair(flagOf(a), flagOf(b)), std::make_pair(uint16_t{0xFFFF}, uint16_t{0}));  // active, cleared
    EXPECT_EQ(std::make_pair(a->timeStamp, b->timeStamp),
              std::make_pair(utc(2026, 12, 4, 9, 30), utc(2026, 7, 4, 8, 30, 45)));
    EXPECT_EQ(result(500), nullptr);  // ALN ends the series quietly
    EXPECT_EQ(line0->sent(" 12 ALO #"), 2);
    EXPECT_TRUE(line0->sim.model().find(12)->alarms.empty());
}

TEST_F(Engine, FinalFailureResetsTheLineWithBreak) {
    drvStart();
    int32_t flag = 0;
    preEvent(0, 1, 0, &flag);  // no station on the line: the first request names it
    line0->fail(3, [](station::Faults &f) { f.wrongBcc = true; });
    expectError(ask(40, KIND_SETPOINTS, 0, DIR_READ, 2, 2), ERRGRP_LINE, ERR_BCC, tg::TAG_SETPOINT);
    EXPECT_TRUE(trace.has("setErr() grp = 20, rc = 04503 sub: 0x3"));
    ok(ask(40, KIND_SETPOINTS, 0, DIR_READ, 2, 2));
    const auto sent = line0->sim.receivedTelegrams();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[3], "\x01 12 BRK # 418 \r");
}

TEST_F(Engine, CanDisconnectOnlyWhenIdle) {
    HostMsg *waiting = submit(40, KIND_PICTURE, 3, DIR_READ);
    EXPECT_EQ(canDisconnect(0), 0);  // not started: the request waits at the head
    EXPECT_EQ(getMsgFromSapOq(0), waiting);
    putMsgToPool(0, waiting);
    drvStart();
    // In the middle of an exchange the answer is 0, without waiting for the exchange.
    line0->fail(1, [](station::Faults &f) { f.delayMs = 1500; });
    submit(40, KIND_PICTURE, 3, DIR_READ);
    ASSERT_TRUE(line0->sim.waitForTelegrams(1, 2000));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(canDisconnect(0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1000));
    ASSERT_NE(result(), nullptr);
    int32_t flag = 0;
    EXPECT_EQ(preEvent(0, 99, 0, &flag), 0);
    EXPECT_EQ(flag, 1);
    preEvent(0, 1, 0, &flag);
    line0->sim.editModel([](station::Model &m) { m.find(7)->pictures[3] = {std::vector<double>(8), {1}}; });
    ok(ask(41, KIND_PICTURE, 3, DIR_READ));
    EXPECT_EQ(canDisconnect(0), 1);
    EXPECT_TRUE(trace.has("[0] Driver ready to disconnect"));
    EXPECT_TRUE(line0->sim.waitForTelegrams(3, 2000));
    EXPECT_EQ(line0->sent(" 7 BRK #"), 1);
    EXPECT_EQ(postEvent(0), 1);
}

// A reply that does not answer the request (damaged, refused, no data, another word) never
// comes back as done: it reaches the host with a triple that says what came. A line fault
// or a refusal is tried again (Retries=2: three tries) and then resets the line with BRK;
// NDA is the station's answer and is final at once, with no second telegram and no reset.
// NDA ends a history and ALN an alarm series; those two stay the quiet normal end
// (HistoryInPassesUntilNoData, CallInReadsAndAcknowledgesEveryAlarm). SCO confirms a
// machine command: it is done, and never sent again.
TEST_F(Engine, RepliesThatAreNoAnswerFailWithWhatCame) {
    drvStart();
    struct Case {
        uint32_t kind, item, direction, index, word;
        std::string fault;     // "bcc" or the word the station answers every request with
        std::string telegram;  // sent once per try
        Triple expected;
        long tries = 3;
    };
    const uint32_t value = std::bit_cast<uint32_t>(1.5f);
    const std::vector<Case> cases = {
        {KIND_PICTURE, 3, DIR_READ, 0, 0, "bcc", "WGS P 0 ! 3", {20, 17667, 1}},
        {KIND_PICTURE, 3, DIR_READ, 0, 0, "SCE", "WGS P 0 ! 3", {41, 17677, 1}},
        {KIND_PICTURE, 3, DIR_READ, 0, 0, "NDA", "WGS P 0 ! 3", {41, 17676, 3}, 1},
        {KIND_PICTURE, 3, DIR_READ, 0, 0, "SCO", "WGS P 0 ! 3", {20, 17668, 1}},
        {KIND_REPORT, 0, DIR_READ, 0, 0, "SCE", "WGD", {41, 17677, 2}},
        {KIND_REPORT, 0, DIR_READ, 0, 0, "ACT", "WGD", {20, 17668, 2}},
        {KIND_SETPOINTS, 0, DIR_READ, 2, 0, "ALN", "MCC 0 1", {20, 17668, 3}},
        {KIND_SETPOINTS, 0, DIR_READ, 2, 0, "SCE", "MCC 0 1", {41, 17677, 3}},
        // Nothing is written without the list.
        {KIND_SETPOINTS, 0, DIR_WRITE, 2, value, "NDA", "MCC 0 1", {41, 17676, 2}, 1},
        {KIND_SETPOINTS, 0, DIR_WRITE, 2, value, "bcc", "MCC 0 1", {20, 17667, 3}},
        {KIND_MACHINE, 3, DIR_WRITE, 7, 2, "SCO", "WGS P 7 B 3", {0, 0, 0}, 1},
        {KIND_MACHINE, 6, DIR_WRITE, 7, 2, "NDA", "WGS P 7 B 6", {41, 17676, 6}, 1},
        {KIND_HISTORY, 0, DIR_READ, 0, 0, "ALN", "WGH", {20, 17668, 4}},
        {KIND_HISTORY, 0, DIR_READ, 0, 0, "SCE", "WGH", {41, 17677, 4}},
        {KIND_ALARMS, 0, DIR_READ, 0, 0, "NDA", "WCA", {41, 17676, 5}, 1},
        {KIND_ALARMS, 0, DIR_READ, 0, 0, "ACT", "WCA", {20, 17668, 5}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.telegram + " answered " + c.fault);
        line0->fail(-1, [&](station::Faults &f) {
            f.wrongBcc = c.fault == "bcc";
            if (c.fault != "bcc") f.forceReply = c.fault;
        });
        const long before = line0->sent(c.telegram), breaks = line0->sent("BRK");
        HostMsg *m = ask(40, c.kind, c.item, c.direction, c.index, 2, c.word);
        expectError(m, c.expected[0], c.expected[1], c.expected[0] == 0 ? 5 : c.expected[2]);
        EXPECT_EQ(line0->sent(c.telegram) - before, c.tries);
        // The line is reset after a final failure of the line, never after an answer.
        const long resets = c.tries == 3 ? 1 : 0;
        eventually([&] { return line0->sent("BRK") - breaks >= resets; }, 2000, 50);
        if (resets == 0) usleep(300000);
        EXPECT_EQ(line0->sent("BRK") - breaks, resets);
        if (c.kind == KIND_PICTURE) {
            EXPECT_EQ(values(m, 1), std::vector<float>{0});
        }  // untouched
        if (c.kind == KIND_HISTORY) {
            EXPECT_EQ(m->timeStamp, 0u);
        }
    }
    line0->sim.setFaults(station::Faults{});
    EXPECT_TRUE(line0->sim.setpointWrites().empty());
    EXPECT_EQ(result(300), nullptr);  // nothing else reached the host
}

// A station that answered an earlier telegram late sends that old answer just before the
// answer to the next one of the same kind; or it did not get an ALO and presents the same
// alarm again. Either way every history record and every alarm reaches the host once,
// and no alarm is acknowledged unseen.
TEST_F(Engine, OldAnswersAndRepeatedAlarmsReachTheHostOnce) {
    struct Replay {
        std::mutex m;
        std::string last;  // the station's last frame
        int seen = 0;
    } replay;
    // Before the station answers its nth `command`, the old frame goes out again.
    const auto replayBefore = [&](const std::string &command, int nth) {
        line0->sim.setTrace([&replay, this, command, nth](bool incoming, const std::string &bytes) {
            std::string again;
            {
                std::lock_guard lock(replay.m);
                if (!incoming)
                    replay.last = bytes;
                else if (bytes.find(command) != std::string::npos && ++replay.seen == nth)
                    again = replay.last;
            }
            if (!again.empty()) line0->sim.sendRaw(again);
        });
    };
    const auto collect = [&](size_t n, int ms) {
        std::vector<HostMsg *> got;
        for (HostMsg *m; got.size() < n && (m = result(ms)) != nullptr;) got.push_back(m);
        return got;
    };
    drvStart();

    replayBefore("WGH", 2);  // the first pass's four records, again, before the second pass's two
    submit(40, KIND_HISTORY, 0, DIR_READ);
    std::vector<OrvelTime> records;
    for (HostMsg *m : collect(9, 5000))
        if (m->direction == DIR_READ) records.push_back(m->timeStamp);
    ASSERT_EQ(records.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(records[i], utc(2026, 3, 14, 19, 0) + i * 36000000000ULL);
    EXPECT_EQ(result(300), nullptr);
    // The trace says which records were handed on and which were passed over.
    EXPECT_EQ(trace.count("hndlRequestHistory: Got 2 values at ts = 2026/03/14 19:00 (UTC)"), 1);
    EXPECT_TRUE(
        trace.has("hndlRequestHistory: record at ts = 2026/03/14 19:00 (UTC) passed over: the host has it already"));

    const auto alarmCodes = [&](int ms) {
        std::vector<uint32_t> codes;
        for (HostMsg *m : collect(2, ms)) codes.push_back(m->index);
        return codes;
    };
    const station::Model full = line0->sim.model();
    replay.seen = 0;
    replayBefore("WCA", 2);  // alarm 17, again, before the answer with alarm 18
    submit(40, KIND_ALARMS, 0, DIR_READ);
    EXPECT_EQ(alarmCodes(5000), (std::vector<uint32_t>{17, 18}));
    EXPECT_EQ(result(300), nullptr);
    EXPECT_EQ(line0->sent("ALO"), 2);
    EXPECT_TRUE(line0->sim.model().find(12)->alarms.empty());
    EXPECT_EQ(line0->sim.book().aloUnreported, 0);

    // The first ALO is lost: the station presents alarm 17 once more, and nothing follows.
    line0->sim.setModel(full);
    line0->sim.setTrace([this](bool incoming, const std::string &bytes) {
        static bool lost = false;
        if (incoming && bytes.find("ALO") != std::string::npos && !std::exchange(lost, true))
            line0->sim.editModel([](station::Model &m) {
                auto &alarms = m.plants[0].alarms;
                alarms.insert(alarms.begin(), alarms.front());
            });
    });
    const auto asked = std::chrono::steady_clock::now();
    submit(40, KIND_ALARMS, 0, DIR_READ);
    EXPECT_EQ(alarmCodes(9000), (std::vector<uint32_t>{17, 18}));
    // The repeat is known after a short look at the line, not after a reply time.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(3000));
    EXPECT_EQ(result(300), nullptr);
    EXPECT_EQ(line0->sent("ALO"), 2 + 3);
    EXPECT_TRUE(line0->sim.model().find(12)->alarms.empty());
    line0->sim.stop();  // its trace used `replay`, which ends here
}

// One alarm that occurs twice in the same minute: the lines agree in node, code, time and
// state but not in the fields behind them (with and without seconds). They are two alarms,
// each delivered and acknowledged once.
TEST_F(Engine, AnAlarmIsARepeatOnlyWhenEveryFieldAgrees) {
    line0->sim.editModel([](station::Model &m) {
        const station::LocalTime minute{2026, 12, 4, 11, 45};
        m.plants[0].alarms = {{.code = 17, .time = minute},
                              {.code = 17, .time = minute, .extra = {"1", "0", "0", "0", "0", "0"}},
                              {.code = 17, .time = minute, .second = 5},
                              {.code = 17, .time = minute, .second = 6}};
    });
    drvStart();
    submit(40, KIND_ALARMS, 0, DIR_READ);
    std::vector<OrvelTime> times;
    for (HostMsg *m; times.size() < 4 && (m = result()) != nullptr;) {
        EXPECT_EQ(m->index, 17u);
        times.push_back(m->timeStamp);
    }
    const OrvelTime minute = utc(2026, 12, 4, 10, 45);
    EXPECT_EQ(times, (std::vector<OrvelTime>{minute, minute, minute + 50000000, minute + 60000000}));
    EXPECT_EQ(result(300), nullptr);
    EXPECT_EQ(line0->sent("ALO"), 4);
    EXPECT_TRUE(line0->sim.model().find(12)->alarms.empty());
}

// A station that answers after the time-out: the telegram is repeated once the reply time
// is out, the late answer comes to the repeat and is its request's, and the answer to the
// repeat is dropped before the next telegram, which gets its own answer.
TEST_F(Engine, ALateAnswerStaysWithItsRequest) {
    drvStart();
    line0->fail(1, [](station::Faults &f) { f.delayMs = static_cast<int>(tg::REPLY_TIMEOUT_MS) + 1500; });
    const int late = static_cast<int>(tg::REPLY_TIMEOUT_MS) * 2;
    submit(40, KIND_PICTURE, 3, DIR_READ, 3, 4);
    HostMsg *first = result(late);
    expectError(first, 0, 0, 0);  // the sub-code of the timed-out try stays, as setErr left it
    EXPECT_EQ(values(first, 2), (std::vector<float>{11, 12}));
    submit(40, KIND_PICTURE, 4, DIR_READ, 2 * 7, 2);
    EXPECT_EQ(values(ok(result(late)), 1), std::vector<float>{7});
    EXPECT_EQ(line0->sent("WGS"), 3);
    EXPECT_TRUE(trace.has("[C:0] readTelegram(): Read Timeout (5000)"));
}

// A pass that fails after handing records on (the pool ran dry), or whose time report
// was dropped (the pool stayed dry), is repeated from the last record the host has:
// every record arrives once.
TEST_F(Engine, HistoryPassAfterADryPoolStartsAfterTheLastRecord) {
    tg::poolRetryMs.store(10);  // 100 tries in 1 s, 201 in 2 s
    struct Case {
        int pool;          // messages in the pool: the request and pool - 1 records
        size_t first;      // records that the first pass hands on
        std::string from;  // where the second pass starts: the last of them, local time
    };
    const std::vector<Case> cases = {{4, 3, "WGH 26 03 14 22 00"}, {5, 4, "WGH 26 03 14 23 00"}};
    drvStart();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pool);
        release();
        rt::configurePool(0, c.pool, 2048);
        const size_t base = line0->sim.receivedTelegrams().size();
        submit(40, KIND_HISTORY, 0, DIR_READ);
        std::vector<OrvelTime> records, reports;
        // Takes results up to n in all; holds them (the pool stays dry) or gives them back.
        const auto take = [&](size_t n, bool hold) {
            for (HostMsg *m; records.size() + reports.size() < n && (m = result()) != nullptr;) {
                (m->direction == DIR_READ_TIME ? reports : records).push_back(m->timeStamp);
                if (!hold) release();
            }
        };
        take(c.first, true);
        ASSERT_TRUE(line0->sim.waitForTelegrams(base + 2, 5000));
        EXPECT_EQ(line0->sim.receivedTelegrams().at(base + 1).substr(5, 18), c.from);
        release();       // the pool fills again: the second pass goes on
        take(8, false);  // six records, the report of the second pass and the end (zero time)
        ASSERT_EQ(records.size(), 6u);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(records[i], utc(2026, 3, 14, 19, 0) + i * 36000000000ULL);
        EXPECT_EQ(reports, (std::vector<OrvelTime>{records[5], 0}));
        EXPECT_EQ(line0->sim.receivedTelegrams().size() - base, 3u);
    }
}

// While the worker waits for the pool, the line is free: a connection event is served at
// once, not after the worker's wait (up to 40 s for a history time report).
TEST_F(Engine, ConnectionEventIsNotHeldByAWorkerWaitingForThePool) {
    rt::configurePool(0, 5, 2048);  // the request and four records: no message for the time report
    drvStart();
    submit(40, KIND_HISTORY, 0, DIR_READ);
    for (int i = 0; i < 4; ++i) ASSERT_NE(result(), nullptr);
    line0->sim.sendOk();
    int32_t flag = 0;
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(preEvent(0, 5, 0, &flag), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1500));
    EXPECT_TRUE(trace.has("hndlWaitOK: OK received."));
    release();
    HostMsg *report = result();
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->direction, DIR_READ_TIME);  // the pass went on where it waited
}

}  // namespace
