// Ticks, the wake-up event and character classes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <thread>

#include "platform/lock.h"
#include "platform/text.h"
#include "platform/ticks.h"

TEST(Ticks, ElapsedSurvivesWrapAndSleepOutlastsSignals) {
    EXPECT_EQ(plat::ticksSince(0xFFFFFFF0u, 0x10u), 0x20u);
    struct sigaction quiet {}, old{};
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
    EXPECT_GE(elapsed, 80u);
    EXPECT_LT(elapsed, 1000u);
}

TEST(WakeEvent, WakesWaiterAtOnceTimesOutOtherwiseAndResets) {
    plat::WakeEvent ev;
    const uint32_t start = plat::getTickCount();
    EXPECT_FALSE(ev.wait(40));
    EXPECT_GE(plat::ticksSince(start, plat::getTickCount()), 39u);
    std::thread signaller([&ev] { plat::sleepMs(20), ev.signal(); });
    EXPECT_TRUE(ev.wait(5000));
    EXPECT_LT(plat::ticksSince(start, plat::getTickCount()), 1000u);
    signaller.join();
    EXPECT_FALSE(ev.wait(0)) << "the signal is consumed by one wait";
    ev.signal();  // kept for the next wait when nobody waits
    EXPECT_TRUE(ev.wait(0));
}

TEST(Text, AlphaNumericInWindows1252) {
    for (int c : std::initializer_list<int>{'a', 'z', 'A', 'Z', '0', '9', 0x8A, 0x9F, 0xAA, 0xB5, 0xC4, 0xD6, 0xD8, 0xDF, 0xF6, 0xF8, 0xFF})
        EXPECT_TRUE(plat::isCharAlphaNumeric(static_cast<char>(c))) << c;
    for (int c : std::initializer_list<int>{0x00, ' ', ',', ';', '-', '.', '\t', '@', '[', '`', '{', 0x7F, 0x80, 0xA0, 0xB2, 0xD7, 0xF7})
        EXPECT_FALSE(plat::isCharAlphaNumeric(static_cast<char>(c))) << c;
}
