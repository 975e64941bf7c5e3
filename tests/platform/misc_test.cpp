// Ticks, the wake-up event and character classes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <string_view>
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
    EXPECT_TRUE(elapsed >= 80 && elapsed < 1000) << elapsed;
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
    using namespace std::string_view_literals;
    for (auto [chars, alnum] : {std::pair{"azAZ09\x8A\x9F\xAA\xB5\xC4\xD6\xD8\xDF\xF6\xF8\xFF"sv, true},
                                {"\0 ,;-.\t@[`{\x7F\x80\xA0\xB2\xD7\xF7"sv, false}})
        for (char c : chars) EXPECT_EQ(plat::isCharAlphaNumeric(c) != 0, alnum) << int(uint8_t(c));
}
