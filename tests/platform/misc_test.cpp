// Ticks, the wake-up event and character classes, on either system.
#include <gtest/gtest.h>

#include <string_view>
#include <thread>

#include "platform/lock.h"
#include "platform/text.h"
#include "platform/ticks.h"

namespace {

// Windows' tick moves in steps of up to 16 ms: a wait shows as up to one step short.
constexpr uint32_t kTickStep = 16;

TEST(Ticks, ElapsedSurvivesWrapAndASleepLastsItsTime) {
    EXPECT_EQ(plat::ticksSince(0xFFFFFFF0u, 0x10u), 0x20u);
    const uint32_t start = plat::getTickCount();
    plat::sleepMs(100);
    const uint32_t elapsed = plat::ticksSince(start, plat::getTickCount());
    EXPECT_TRUE(elapsed + kTickStep >= 100 && elapsed < 2000) << elapsed;
}

TEST(WakeEvent, WakesWaiterAtOnceTimesOutOtherwiseAndResets) {
    plat::WakeEvent ev;
    const uint32_t start = plat::getTickCount();
    EXPECT_FALSE(ev.wait(40));
    EXPECT_GE(plat::ticksSince(start, plat::getTickCount()) + kTickStep, 40u);
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
    for (auto [chars, alnum] : {std::pair{"azAZ09\x8A\x9F\xAA\xB5\xC4\xD6\xD8\xDF\xE9\xF6\xF8\xFF"sv, true},
                                {"\0 ,;-.\t@[\\_`{\x7F\x80\xA0\xD7\xF7"sv, false}})
        for (char c : chars) EXPECT_EQ(plat::isCharAlphaNumeric(c) != 0, alnum) << int(uint8_t(c));
}

}  // namespace
