// A station that acknowledges with "OK" before its answer: the OK is passed over, the
// telegram is not sent again, and the answer that follows is used once.
#include "engine_fixture.h"

using namespace v6;

TEST_F(EngineTest, OkBeforeTheAnswerIsPassedOverAndTheAnswerUsedOnce) {
    ASSERT_EQ(drvStart(), 1);
    faults([](auto &f) { f.okRepliesBefore = 1; });
    struct Case {
        const char *what;
        uint32_t address;
        const char *command;
        size_t messages;
    };
    const Case reads[] = {
        {"picture", V6_ADDRESS(V6_WGS_PICTURE, 3), "WGS", 7},
        {"report", V6_WGD_REPORT, "WGD", 2},
        {"setpoints", V6_MCC_READ, "MCC", 3},
        {"alarm limits", V6_MAS_READ, "MAS", 1},
    };
    for (const Case &c : reads) {
        SCOPED_TRACE(c.what);
        const int sentBefore = sentCount(c.command);
        send(12, c.address, DIR_READ);
        EXPECT_EQ(collect(c.messages).size(), c.messages);
        EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 300), nullptr) << "a reply was used twice";
        EXPECT_EQ(sentCount(c.command) - sentBefore, 1);
    }

    // History: two chunks and NDA, each record once, one WGH per chunk.
    send(12, V6_WGH_HISTORY, DIR_READ);
    auto got = collect(6 * 2 + 3, 10000);
    EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 300), nullptr) << "a record came twice";
    std::vector<int32_t> values;
    for (HostMsg *m : got)
        if (m->direction != DIR_READ_TIME) values.push_back(valueAs<int32_t>(m));
    EXPECT_EQ(values, (std::vector<int32_t>{0, 0, 1, 10, 2, 20, 3, 30, 4, 40, 5, 50}));
    ASSERT_EQ(got.size(), 15u);
    EXPECT_EQ(got.back()->timeStamp, 0u);  // the end of the history: a report with no time
    EXPECT_EQ(sentCount("WGH"), 3);

    // A setpoint write: OK, then SCO, then the list read back (OK, then the list).
    const uint16_t word = 99;
    send(12, 0, DIR_WRITE, 2, &word, sizeof word);
    EXPECT_EQ(collect(3).size(), 3u);
    EXPECT_EQ(sim->setpointWrites().size(), 1u);
    EXPECT_FALSE(traced("ERROR_STATE (0,3)"));

    // The alarm conversation after a connection: OK before each ALR.
    int32_t flag = 0;
    preEvent(kLine, 1, 0, &flag);
    ASSERT_TRUE(eventually([&] { return traced("Recv ALN Send BREAK ??"); }));
    EXPECT_EQ(sim->counters().ok, 1);
    EXPECT_EQ(sim->counters().alo, 1);
}
