// Replies worked through while the host's pool runs dry and fills again: every value
// reaches the host exactly once, with the time, index and address it would have had with
// a full pool. A stop does not wait for a pool that stays empty, and a history reply the
// parser cannot read ends its request once, with a triple the host sees.
#include <cerrno>
#include <ostream>

#include "engine_fixture.h"

using namespace v6;

namespace {

// What the host sees of one message.
struct Seen {
    uint32_t node, address, index, direction;
    int32_t length;
    OrvelTime time;
    std::string value;  // the value area as far as `length` reaches
    uint32_t errGroup;
    bool operator==(const Seen &) const = default;
};

void PrintTo(const Seen &s, std::ostream *os) {
    *os << "{node " << s.node << " addr " << s.address << " index " << s.index << " dir " << s.direction << " len "
        << s.length << " time " << s.time << " value " << ::testing::PrintToString(s.value) << " err " << s.errGroup
        << "}";
}

Seen seen(const HostMsg *m) {
    const int bytes = std::clamp(2 * m->length, 0, 16);
    return {m->node,
            m->address,
            m->index,
            m->direction,
            m->length,
            m->timeStamp,
            std::string(static_cast<const char *>(m->data), static_cast<size_t>(bytes)),
            m->errGroup};
}

using Parser = int32_t (*)(V6Channel *, int);
int32_t mcc(V6Channel *c, int) { return FormatMCC(c); }
int32_t mas(V6Channel *c, int) { return FormatMAS(c); }

// Sets the driver-wide words for a test and puts them back afterwards.
struct DriverWords {
    uint32_t state = driverState.load(), running = hostRunning.load();
    DriverWords(uint32_t s, uint32_t r) { set(s, r); }
    void set(uint32_t s, uint32_t r) {
        driverState.store(s);
        hostRunning.store(r);
    }
    ~DriverWords() { set(state, running); }
};

class ResumeTest : public V6Test {
protected:
    // Takes every message out of the host's pool.
    void drainPool() {
        while (HostMsg *m = getMsgFromPool(kChan)) held_.push_back(m);
    }
    // Leaves exactly `n` messages (as far as there are) in the pool.
    void leaveInPool(int n) {
        drainPool();
        for (; n > 0 && !held_.empty(); --n) {
            putMsgToPool(kChan, held_.back());
            held_.pop_back();
        }
    }
    void TearDown() override {
        giveBack(held_);
        V6Test::TearDown();
    }

    // A read request whose value area starts out as zero (history: from the beginning).
    HostMsg *readRequest(uint32_t address) {
        HostMsg *m = request(40, address, DIR_READ);
        std::memset(m->data, 0, 8);
        return m;
    }

    // Runs a parser over a reply until it is done. With `perCall` 0 the pool never runs
    // dry; otherwise every other call finds it empty and the calls between find `perCall`
    // messages in it.
    std::vector<Seen> run(Parser parse, const std::string &text, int cursorAt, int perCall) {
        parseReply(text, cursorAt);
        std::vector<Seen> out;
        int32_t more = 1;
        for (int call = 0; more == 1 && call < 500; ++call) {
            leaveInPool(perCall == 0 ? 1000 : call % 2 == 0 ? 0 : perCall);
            more = parse(ch_.get(), call == 0 ? 1 : 0);
            for (HostMsg *m : delivered()) {
                out.push_back(seen(m));
                held_.push_back(m);
            }
        }
        EXPECT_EQ(more, 0) << "the parse never ended";
        leaveInPool(1000);
        return out;
    }

    // The request the parser put back at the head of the output queue, if any.
    HostMsg *requeued() {
        HostMsg *m = getMsgFromSapOq(kChan);
        if (m != nullptr) held_.push_back(m);
        return m;
    }

    std::vector<HostMsg *> held_;
};

}  // namespace

TEST_F(ResumeTest, APausedParseGoesOnExactlyWhereItStopped) {
    struct Case {
        const char *name;
        Parser parse;
        uint32_t address;
        const char *text;
        int cursorAt;
    };
    const Case cases[] = {
        {"MCC", mcc, V6_MCC_READ, "\x02 1 A 17 2 0 1.5 3 T 'PUMPE' 4 D 3", 1},
        {"MAS", mas, V6_MAS_READ, "\x02 4 1 100 10 5 2 5 1 200 20 6 3", 1},
        {"WGD", FormatWGD, V6_WGD_REPORT, "\x02 1 2 3 4 5 6 7 8 9 -10 11 12 13 14 15", 1},
        // Split count 5: the first four values carry the picture bits.
        {"WGS", FormatWGS, V6_ADDRESS(V6_WGS_PICTURE, 7), "\x02 0 0 0 5 0 0 0 0 0 11 12 13 14 15 16 17", 1},
        {"WGH", formatWGH, V6_WGH_HISTORY, "\x02 26 03 01 10 00 1 2 3 ! 26 03 01 11 00 4 5 ! 26 03 01 12 00 7 !", 2},
    };
    const OrvelTime last = localTime(2026, 3, 1, 12, 0);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        HostMsg *req = readRequest(k.address);
        const std::vector<Seen> whole = run(k.parse, k.text, k.cursorAt, 0);
        ASSERT_GE(whole.size(), 2u);
        if (k.parse == formatWGH) {
            // Six values, then the report of the time reached; the request goes again.
            ASSERT_EQ(whole.size(), 7u);
            EXPECT_EQ(whole[3].time, localTime(2026, 3, 1, 11, 0));
            EXPECT_EQ(whole[6].direction, uint32_t{DIR_READ_TIME});
            EXPECT_EQ(whole[6].time, last);
            EXPECT_EQ(requeued(), req);
        }
        for (int perCall : {1, 2, 3, 5}) {
            SCOPED_TRACE(perCall);
            req = readRequest(k.address);
            EXPECT_EQ(run(k.parse, k.text, k.cursorAt, perCall), whole);
            if (k.parse == formatWGH) {
                // The next chunk starts behind the last record that reached the host.
                EXPECT_EQ(valueAs<OrvelTime>(req), last);
                EXPECT_EQ(requeued(), req);
            }
        }
    }
}

TEST_F(ResumeTest, HistoryEndReportWaitsForThePool) {
    // NDA: the zero-time report of the end of the history goes out once the pool has a
    // message; then the request is done.
    HostMsg *req = readRequest(V6_WGH_HISTORY);
    parseReply("\x02 NDA", 2);
    leaveInPool(0);
    EXPECT_EQ(formatWGH(ch_.get(), 1), 1);
    EXPECT_TRUE(traced("N:040 NO BUFFER WRITE TIME  1601/01/01 00:00:00:000"));
    EXPECT_EQ(formatWGH(ch_.get(), 0), 1);
    leaveInPool(1);
    EXPECT_EQ(formatWGH(ch_.get(), 0), 0);
    auto got = delivered();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->direction, uint32_t{DIR_READ_TIME});
    EXPECT_EQ(got[0]->timeStamp, 0u);
    EXPECT_EQ(ch_->curMsg.load(), nullptr);
    EXPECT_EQ(requeued(), nullptr);
    EXPECT_EQ(hydrix::rt::poolAvailable(kChan), 1) << "the request is done";
    EXPECT_NE(req, nullptr);
    held_.insert(held_.end(), got.begin(), got.end());
}

TEST_F(ResumeTest, AStopDoesNotWaitForADryPool) {
    DriverWords words(DRV_STATE_RUNNING, 1);
    struct Case {
        uint32_t step;
        Parser parse;
        const char *text;
        int cursorAt;
        int inPool;  // messages for the first call
    };
    const Case cases[] = {
        {STEP_MCC_PARSE, mcc, "\x02 1 A 17 2 A 18", 1, 1},
        {STEP_MAS_PARSE, mas, "\x02 4 1 100 10 5 2", 1, 0},
        {STEP_WGD_PARSE, FormatWGD, "\x02 1 2 3 4 5", 1, 0},
        {STEP_WGS_PARSE, FormatWGS, "\x02 0 0 0 5 0 0 0 0 0 11 12", 1, 1},
        {STEP_WGH_PARSE, formatWGH, "\x02 26 03 01 10 00 1 2 !", 2, 1},
        {STEP_WGH_PARSE, formatWGH, "\x02 26 03 01 10 00 1 2 !", 2, 2},  // only the time report waits
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.text);
        words.set(DRV_STATE_RUNNING, 1);
        readRequest(V6_ADDRESS(V6_WGS_PICTURE, 7));
        parseReply(k.text, k.cursorAt);
        leaveInPool(k.inPool);
        ASSERT_EQ(k.parse(ch_.get(), 1), 1);
        giveBack(delivered());
        leaveInPool(0);
        ch_->state.store(ST_REPLY);
        ch_->step.store(k.step);
        replyStep(ch_.get());
        EXPECT_EQ(ch_->state.load(), uint32_t{ST_REPLY}) << "a running driver waits for the pool";

        words.set(DRV_STATE_STOPPING, 0);
        replyStep(ch_.get());
        EXPECT_EQ(ch_->state.load(), uint32_t{ST_IDLE});
        EXPECT_EQ(ch_->replyBuffer, nullptr);
        EXPECT_EQ(ch_->curMsg.load(), nullptr);
        EXPECT_EQ(hydrix::rt::poolAvailable(kChan), 1) << "the request goes back to the pool";
        EXPECT_TRUE(delivered().empty());
        EXPECT_EQ(requeued(), nullptr);
    }
}

TEST_F(ResumeTest, UnreadableHistoryEndsTheRequestOnceWithItsTriple) {
    DriverWords words(DRV_STATE_RUNNING, 1);
    const OrvelTime t1 = localTime(2026, 3, 1, 10, 0);
    struct Case {
        const char *text;
        size_t values;  // delivered before the request comes back
        uint32_t group, code, sub;
    };
    const Case cases[] = {
        {"\x02 26 02 31 10 00 1 2 !", 0, ERRGRP_CONTENT, ERR_HISTORY_TIME, EINVAL},
        {"\x02 26 03 01 10 00 1 2 ! 26 02 31 10 00 3 !", 2, ERRGRP_CONTENT, ERR_HISTORY_TIME, EINVAL},
        {"\x02 26 03 01 10 00 1 ! 26 13 01 10 00 3 !", 1, ERRGRP_CONTENT, ERR_HISTORY_TIME, EINVAL},
        {"\x02 26 03 01 10 123456789012 1 !", 0, ERRGRP_CONTENT, ERR_HISTORY_FIELDS, 4},
        {"\x02 26 03 01 10 00 1 ! 26 03", 1, ERRGRP_CONTENT, ERR_HISTORY_FIELDS, 1},
        {"\x02 26 03 01 10 00 1 22222222222 !", 1, ERRGRP_LINE, ERR_FRAMING, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.text);
        HostMsg *req = readRequest(V6_WGH_HISTORY);
        parseReply(k.text, 2);
        EXPECT_EQ(formatWGH(ch_.get(), 1), 0);
        EXPECT_EQ(ch_->curMsg.load(), nullptr);
        EXPECT_EQ(ch_->replyBuffer, nullptr);
        EXPECT_EQ(requeued(), nullptr) << "not read again";
        auto got = delivered();
        held_.insert(held_.end(), got.begin(), got.end());
        ASSERT_EQ(got.size(), k.values + 1);
        for (size_t i = 0; i < k.values; ++i) {
            EXPECT_EQ(got[i]->timeStamp, t1);
            EXPECT_EQ(got[i]->errGroup, 0u);
        }
        EXPECT_EQ(got.back(), req);
        EXPECT_EQ(std::make_tuple(req->errGroup, req->errCode, req->errSub), std::make_tuple(k.group, k.code, k.sub));
        // Where the history got to: the last record that reached the host.
        EXPECT_EQ(valueAs<OrvelTime>(req), k.values > 0 ? t1 : 0u);
    }
}

// End to end: a history reply whose parse waits for the host's pool does not hold up a
// stop, and a record dated 31 February ends the request instead of being read for ever.
TEST_F(EngineTest, StopEndsAParseWaitingForTheHostPool) {
    ASSERT_EQ(drvStart(), 1);
    // The request, then the host's pool runs dry before the reply comes.
    HostMsg *req = getMsgFromPool(kLine);
    *req = HostMsg{0, 12, V6_ADDRESS(V6_WGH_HISTORY, 0), 0, DIR_READ, 2, 0, 0, 0, 0, 0, 0, req->data};
    std::memset(req->data, 0, 8);
    while (HostMsg *m = getMsgFromPool(kLine)) taken_.push_back(m);
    putMsgToSapOq(kLine, req);
    ASSERT_TRUE(eventually([&] { return traced("NO BUFFER formatWGH"); }));
    // The bound leaves room for the receiver's own stop; without the stop check the
    // channel never gets there.
    stopDriver(5000, 20);
    EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPED) << "the stop waited for the host's pool";
    EXPECT_EQ(hydrix::rt::inputQueueLength(kLine), 0);
}

TEST_F(EngineTest, ImpossibleHistoryDateEndsTheReadOnce) {
    sim->editModel([](hydrix::station::Model &m) {
        hydrix::station::HistoryRecord bad;
        bad.time = {2026, 2, 31, 10, 0};
        bad.values = {1.0};
        m.plants[0].history.insert(m.plants[0].history.begin(), bad);
    });
    ASSERT_EQ(drvStart(), 1);
    const OrvelTime from = 0;
    expectFailed(send(12, V6_ADDRESS(V6_WGH_HISTORY, 0), DIR_READ, 0, &from, sizeof from), ERRGRP_CONTENT,
                 ERR_HISTORY_TIME);
    EXPECT_EQ(sentCount("WGH"), 1);
}

// Reply words, and records whose value cannot be read, hand the host no value.
TEST_F(ResumeTest, ReplyWordsNeverBecomeValues) {
    DriverWords words(DRV_STATE_RUNNING, 1);
    const Parser parsers[] = {mcc, mas, FormatWGD, FormatWGS, formatWGH};
    const char *replies[] = {"\x02 NDA",  "\x02 SCE",   "\x02 SCO",   "\x02 ALN",
                             "\x02 NDA ", "\x02 SCE  ", "\x02 1 X 5", "\x02 1 0 x"};
    for (const char *word : replies) {
        for (Parser parse : parsers) {
            SCOPED_TRACE(::testing::PrintToString(std::string(word)) + (parse == formatWGH ? " WGH" : ""));
            readRequest(parse == formatWGH ? uint32_t{V6_WGH_HISTORY} : V6_ADDRESS(V6_WGS_PICTURE, 1));
            for (const Seen &m : run(parse, word, parse == formatWGH ? 2 : 1, 0)) {
                const bool value = m.direction == DIR_READ && m.errGroup == 0;
                EXPECT_FALSE(value) << "a value from a reply word";
            }
            if (ch_->replyBuffer) insBuf(ch_.get(), &ch_->freeQueue, ch_->replyBuffer);
            ch_->replyBuffer = nullptr;
            requeued();
        }
    }
}

// A host that hands its few messages back one by one: the parse pauses again and again,
// and still every record arrives once, with its time, and the read ends with the report
// of the end of the history.
TEST_F(EngineTest, HistoryThroughASmallPoolArrivesOnceWithItsTimes) {
    poolSize = 4;
    hydrix::rt::configurePool(kLine, poolSize, 2048);
    ASSERT_EQ(drvStart(), 1);
    const OrvelTime from = 0;
    send(12, V6_ADDRESS(V6_WGH_HISTORY, 0), DIR_READ, 0, &from, sizeof from);
    struct Value {
        uint32_t index;
        OrvelTime time;
        int32_t value;
        bool operator==(const Value &) const = default;
    };
    std::vector<Value> got, expected;
    for (int h = 0; h < 6; ++h) {
        expected.push_back({2, localTime(2026, 3, 1, h, 0), h});
        expected.push_back({4, localTime(2026, 3, 1, h, 0), 10 * h});
    }
    bool ended = false;
    std::vector<HostMsg *> held;  // handed back only once nothing came for a while
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ended && std::chrono::steady_clock::now() < until) {
        HostMsg *m = hydrix::rt::waitInputQueue(kLine, 30);
        if (m == nullptr) {
            giveBack(held, kLine);
            held.clear();
            continue;
        }
        if (m->direction == DIR_READ_TIME)
            ended = m->timeStamp == 0;
        else
            got.push_back({m->index, m->timeStamp, valueAs<int32_t>(m)});
        held.push_back(m);
    }
    giveBack(held, kLine);
    EXPECT_TRUE(ended);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].index, expected[i].index) << i;
        EXPECT_EQ(got[i].time, expected[i].time) << i;
        EXPECT_EQ(got[i].value, expected[i].value) << i;
    }
    EXPECT_TRUE(traced("NO BUFFER formatWGH")) << "the pool never ran dry";
}
