// What only the Linux side of platform/ does: a running thread cannot be killed, so a
// terminated one goes on detached with the forced exit code; and a sleep outlasts the
// signals that interrupt it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "common/wait.h"
#include "platform/thread.h"
#include "platform/ticks.h"

namespace {

struct Stuck {
    std::atomic<bool> ran{false}, release{false}, done{false};
};

uint32_t runStuck(void *arg) {  // ignores any stop request until released
    auto *s = static_cast<Stuck *>(arg);
    for (s->ran = true; !s->release.load();) plat::sleepMs(1);
    return s->done.store(true), 42;
}

TEST(PosixThread, ATerminatedRunningThreadGoesOnWithTheForcedCode) {
    Stuck stuck;
    plat::ThreadHandle s = plat::createThreadSuspended(runStuck, &stuck);
    ASSERT_TRUE(s != nullptr && plat::resumeThread(s) == 1);
    ASSERT_TRUE(eventually([&] { return stuck.ran.load(); }, 2000, 1));
    EXPECT_EQ(plat::terminateThread(s, 1), 1);
    uint32_t code = 0;
    EXPECT_TRUE(plat::getExitCodeThread(s, &code) == 1 && code == 1u)
        << "reported at once, while the thread still runs";
    stuck.release = true;  // it finishes after the terminate
    ASSERT_TRUE(eventually([&] { return stuck.done.load(); }, 2000, 1));
    plat::sleepMs(5);
    EXPECT_TRUE(plat::getExitCodeThread(s, &code) == 1 && code == 1u)
        << "the return value must not replace the forced exit code";
    EXPECT_EQ(plat::closeHandle(s), 1);
}

TEST(PosixTicks, SleepOutlastsSignals) {
    struct sigaction quiet {
    }, old{};
    quiet.sa_handler = [](int) {};  // no SA_RESTART: each signal interrupts the sleep
    sigaction(SIGUSR1, &quiet, &old);
    std::thread poke([sleeper = pthread_self()] {
        for (int i = 0; i < 3; ++i) plat::sleepMs(15), pthread_kill(sleeper, SIGUSR1);
    });
    const uint32_t start = plat::getTickCount();
    errno = 1234;
    plat::sleepMs(80);
    EXPECT_EQ(errno, 1234);
    const uint32_t elapsed = plat::ticksSince(start, plat::getTickCount());
    poke.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(elapsed >= 80 && elapsed < 1000) << elapsed;
}

}  // namespace
