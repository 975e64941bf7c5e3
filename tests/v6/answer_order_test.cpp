// Answers stay with their telegrams: a frame that answers an earlier telegram (a late
// answer, a second answer) is never taken for the answer to a later one.
#include <mutex>

#include "engine_fixture.h"

using namespace v6;

TEST_F(EngineTest, AnAnswerToAnEarlierTelegramDoesNotShiftTheAnswers) {
    sim->editModel([](hydrix::station::Model &m) {
        m.plants[0].pictures[4] = {{1, 2, 3, 5, 0, 0, 0, 0}, {200, 201, 202, 203, 204, 205, 206, 207}};
    });
    // Before it answers the second WGS, the station sends its last frame once more.
    struct Replay {
        std::mutex m;
        std::string last;
        int seen = 0;
    } replay;
    sim->setTrace([&replay, this](bool incoming, const std::string &bytes) {
        std::string again;
        {
            std::lock_guard lock(replay.m);
            if (!incoming)
                replay.last = bytes;
            else if (bytes.find("WGS") != std::string::npos && ++replay.seen == 2)
                again = replay.last;
        }
        if (!again.empty()) sim->sendRaw(again);
    });
    ASSERT_EQ(drvStart(), 1);
    // Pictures 3 and 4 by turns: each read brings its own picture's values.
    std::vector<int32_t> firsts, wanted;
    for (int round = 0; round < 6; ++round) {
        const uint32_t picture = 3 + round % 2;
        send(12, V6_ADDRESS(V6_WGS_PICTURE, picture), DIR_READ);
        const auto got = collect(7);
        ASSERT_EQ(got.size(), 7u) << "round " << round;
        firsts.push_back(valueAs<int32_t>(got[0]));
        wanted.push_back(picture == 3 ? 101 : 201);
    }
    // The old frame came after the second telegram, as its answer would have: it is taken
    // for that answer. Every later request gets its own.
    firsts.erase(firsts.begin(), firsts.begin() + 2);
    wanted.erase(wanted.begin(), wanted.begin() + 2);
    EXPECT_EQ(firsts, wanted);
    EXPECT_EQ(hydrix::rt::waitInputQueue(kLine, 300), nullptr);
    sim->stop();  // its trace uses `replay`, which ends here
}

// A station that answers after the time-out: the telegram is repeated once the reply time
// is out, the late answer comes to the repeat and is its request's, and the answer to the
// repeat is dropped before the next telegram, which gets its own answer.
TEST_F(EngineTest, ALateAnswerStaysWithItsRequest) {
    sim->editModel([](hydrix::station::Model &m) {
        m.plants[0].pictures[4] = {{1, 2, 3, 5, 0, 0, 0, 0}, {200, 201, 202, 203, 204, 205, 206, 207}};
    });
    faults([](auto &f) {
        f.delayMs = static_cast<int>(REPLY_TIMEOUT_MS) + 1000;
        f.replies = 1;
    });
    ASSERT_EQ(drvStart(), 1);
    std::vector<int32_t> firsts;
    for (uint32_t picture : {3, 4}) {
        send(12, V6_ADDRESS(V6_WGS_PICTURE, picture), DIR_READ);
        const auto got = collect(7, 3 * REPLY_TIMEOUT_MS);
        ASSERT_EQ(got.size(), 7u) << "picture " << picture;
        firsts.push_back(valueAs<int32_t>(got[0]));
    }
    EXPECT_EQ(firsts, (std::vector<int32_t>{101, 201}));
    EXPECT_EQ(sentCount("WGS"), 3);
}
