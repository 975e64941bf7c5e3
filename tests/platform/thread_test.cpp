// Thread life cycle: held until resumed, exit codes, abandoning and closing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/thread.h"
#include "platform/ticks.h"

namespace {

struct Job { std::atomic<int> ran{0}; std::atomic<bool> release{false}, done{false}; };

uint32_t runJob(void *arg) {  // ignores any stop request until released
    auto *job = static_cast<Job *>(arg);
    for (job->ran.fetch_add(1); !job->release.load();) plat::sleepMs(1);
    return job->done.store(true), 42;
}

bool waitFor(const std::atomic<bool> &flag) {
    for (int i = 0; i < 2000 && !flag.load(); ++i) plat::sleepMs(1);
    return flag.load();
}

uint32_t exitCode(plat::ThreadHandle h) {
    uint32_t code = 0;
    EXPECT_EQ(plat::getExitCodeThread(h, &code), 1);
    return code;
}

TEST(Thread, HeldUntilResumedEndsWithItsCodeOrGoesOnWhenAbandoned) {
    Job job, closed, terminated, stuck, busy;
    plat::ThreadHandle h = plat::createThreadSuspended(runJob, &job), a = plat::createThreadSuspended(runJob, &closed),
                       b = plat::createThreadSuspended(runJob, &terminated),
                       s = plat::createThreadSuspended(runJob, &stuck), g = plat::createThreadSuspended(runJob, &busy);
    ASSERT_TRUE(h && a && b && s && g);
    EXPECT_EQ(plat::closeHandle(a), 1);  // never resumed: released, and joined
    EXPECT_EQ(plat::terminateThread(b, 7), 1);
    EXPECT_EQ(exitCode(b), 7u);
    EXPECT_EQ(plat::closeHandle(b), 1);
    plat::sleepMs(20);
    EXPECT_EQ(job.ran.load() + closed.ran.load() + terminated.ran.load() + stuck.ran.load(), 0);
    EXPECT_EQ(exitCode(h), plat::THREAD_STILL_ACTIVE);
    EXPECT_EQ(plat::resumeThread(h), 1);
    EXPECT_EQ(plat::resumeThread(h), 0) << "a running thread was not suspended";
    job.release = true;
    for (int i = 0; i < 1000 && exitCode(h) == plat::THREAD_STILL_ACTIVE; ++i) plat::sleepMs(1);
    EXPECT_EQ(exitCode(h), 42u);
    EXPECT_EQ(plat::closeHandle(h), 1);

    // Running threads cannot be stopped: terminated or closed, they go on detached.
    ASSERT_TRUE(plat::resumeThread(s) == 1 && plat::resumeThread(g) == 1);
    for (int i = 0; i < 2000 && stuck.ran.load() + busy.ran.load() < 2; ++i) plat::sleepMs(1);
    EXPECT_EQ(plat::terminateThread(s, 1), 1);
    EXPECT_EQ(exitCode(s), 1u) << "reported at once, while the thread still runs";
    stuck.release = true;  // it finishes after the terminate
    ASSERT_TRUE(waitFor(stuck.done));
    plat::sleepMs(5);
    EXPECT_EQ(exitCode(s), 1u) << "the return value must not replace the forced exit code";
    EXPECT_EQ(plat::closeHandle(s), 1);
    std::thread releaser([&busy] { plat::sleepMs(400), busy.release = true; });
    const uint32_t start = plat::getTickCount();
    EXPECT_EQ(plat::closeHandle(g), 1);
    EXPECT_LT(plat::ticksSince(start, plat::getTickCount()), 300u) << "close must not wait for the thread";
    releaser.join();
    EXPECT_TRUE(waitFor(busy.done));
}

}  // namespace
