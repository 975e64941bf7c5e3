// Thread life cycle as the driver uses it, on either system: held until resumed, exit
// codes, terminating and closing a thread that never ran; and the recursive critical
// section. (What becomes of a running thread that is terminated differs: each system's
// own tests.)
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/wait.h"
#include "platform/lock.h"
#include "platform/thread.h"
#include "platform/ticks.h"

namespace {

struct Job {
    std::atomic<int> ran{0};
    std::atomic<bool> release{false}, done{false};
};

uint32_t runJob(void *arg) {  // ignores any stop request until released
    auto *job = static_cast<Job *>(arg);
    for (job->ran.fetch_add(1); !job->release.load();) plat::sleepMs(1);
    return job->done.store(true), 42;
}

uint32_t exitCode(plat::ThreadHandle h) {
    uint32_t code = 0;
    EXPECT_EQ(plat::getExitCodeThread(h, &code), 1);
    return code;
}

TEST(Thread, HeldUntilResumedEndsWithItsCodeAndNeverRunsWhenClosedOrTerminatedFirst) {
    Job job, closed, terminated, busy;
    plat::ThreadHandle h = plat::createThreadSuspended(runJob, &job), a = plat::createThreadSuspended(runJob, &closed),
                       b = plat::createThreadSuspended(runJob, &terminated),
                       g = plat::createThreadSuspended(runJob, &busy);
    ASSERT_TRUE(h && a && b && g);
    EXPECT_EQ(plat::closeHandle(a), 1);  // never resumed: released, and never run
    EXPECT_EQ(plat::terminateThread(b, 7), 1);
    EXPECT_EQ(exitCode(b), 7u);
    EXPECT_EQ(plat::closeHandle(b), 1);
    plat::sleepMs(30);
    EXPECT_EQ(job.ran.load() + closed.ran.load() + terminated.ran.load(), 0);
    EXPECT_EQ(exitCode(h), plat::THREAD_STILL_ACTIVE);
    EXPECT_EQ(plat::resumeThread(h), 1);
    EXPECT_EQ(plat::resumeThread(h), 0) << "a running thread was not suspended";
    job.release = true;
    EXPECT_TRUE(eventually([&] { return exitCode(h) != plat::THREAD_STILL_ACTIVE; }, 2000, 1));
    EXPECT_EQ(exitCode(h), 42u);
    EXPECT_EQ(plat::closeHandle(h), 1);

    // Closing a running thread's handle does not wait for it: it goes on, detached.
    ASSERT_EQ(plat::resumeThread(g), 1);
    ASSERT_TRUE(eventually([&] { return busy.ran.load() == 1; }, 2000, 1));
    std::thread releaser([&busy] { plat::sleepMs(400), busy.release = true; });
    const uint32_t start = plat::getTickCount();
    EXPECT_EQ(plat::closeHandle(g), 1);
    EXPECT_LT(plat::ticksSince(start, plat::getTickCount()), 300u) << "close must not wait for the thread";
    releaser.join();
    EXPECT_TRUE(eventually([&] { return busy.done.load(); }, 2000, 1));

    EXPECT_EQ(plat::createThreadSuspended(nullptr, nullptr), nullptr);
    EXPECT_EQ(plat::resumeThread(nullptr), -1);
    EXPECT_EQ(plat::closeHandle(nullptr), 0);
}

struct Counter {
    plat::CriticalSection lock;
    long value = 0;
};

uint32_t addMany(void *p) {
    auto *c = static_cast<Counter *>(p);
    for (int i = 0; i < 20000; ++i) {
        plat::enterCriticalSection(&c->lock);
        plat::enterCriticalSection(&c->lock);  // the owner may enter again
        c->value = c->value + 1;
        plat::leaveCriticalSection(&c->lock);
        plat::leaveCriticalSection(&c->lock);
    }
    return 0;
}

TEST(CriticalSection, TheOwnerEntersAgainAndTwoThreadsCountEveryStep) {
    Counter c;
    plat::ThreadHandle a = plat::createThreadSuspended(addMany, &c), b = plat::createThreadSuspended(addMany, &c);
    ASSERT_TRUE(a && b);
    plat::resumeThread(a);
    plat::resumeThread(b);
    EXPECT_TRUE(eventually([&] { return exitCode(a) == 0 && exitCode(b) == 0; }, 10000, 5));
    EXPECT_EQ(c.value, 40000);
    plat::closeHandle(a);
    plat::closeHandle(b);
}

}  // namespace
