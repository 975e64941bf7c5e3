// The channel queues and the message pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "runtime/runtime.h"

namespace rt = hydrix::rt;
using namespace std::chrono;

namespace {

class Queues : public ::testing::Test {
protected:
    void SetUp() override { rt::setTraceFile(nullptr); }
    void TearDown() override {
        rt::resetQueues();
        for (int c = 0; c < HYDRIX_CHANNELS; ++c) rt::configurePool(c, 64, 2048);
        rt::setTraceFile(stderr);
    }
};

TEST_F(Queues, OrderHeadInsertionAndRefusals) {
    HostMsg *a = getMsgFromPool(1), *b = getMsgFromPool(1), *c = getMsgFromPool(1);
    putMsgToSapOq(1, a), putMsgToSapOq(1, b), insMsgToSapOq(1, c);
    EXPECT_EQ(getMsgFromSapOq(0), nullptr) << "queues are per channel";
    for (HostMsg *expected : {c, a, b, static_cast<HostMsg *>(nullptr)}) EXPECT_EQ(getMsgFromSapOq(1), expected);

    HostMsg own{};
    for (int ch : {-1, 8}) EXPECT_TRUE(!getMsgFromPool(ch) && !putMsgToSapOq(ch, &own)) << ch;
    EXPECT_EQ(putMsgToPool(1, &own), 0) << "memory that no pool gave out";
    const int before = rt::poolAvailable(1);
    EXPECT_EQ(putMsgToPool(1, a), 1);
    EXPECT_EQ(putMsgToPool(1, a), 0) << "a second return would hand the message out twice";
    EXPECT_EQ(rt::poolAvailable(1), before + 1);
}

TEST_F(Queues, PoolMessagesComeBackClean) {
    rt::configurePool(2, 2, 16);
    HostMsg *m = getMsgFromPool(2), *other = getMsgFromPool(2);
    ASSERT_TRUE(m && other);
    void *area = m->data;
    m->node = 12, m->timeStamp = 99;
    std::memset(m->data, 0xAB, 16);
    EXPECT_EQ(getMsgFromPool(2), nullptr) << "pool of two is exhausted";
    ASSERT_EQ(putMsgToPool(2, m), 1);
    HostMsg *again = getMsgFromPool(2);
    ASSERT_TRUE(again == m && again->data == area);
    EXPECT_EQ(again->node + again->timeStamp, 0u);
    const auto *bytes = static_cast<const char *>(area);
    EXPECT_EQ(std::count(bytes, bytes + 16, 0), 16) << "data area cleared";

    // A new pool while two messages are out: they stay usable and are freed on return.
    rt::configurePool(2, 3, 32);
    EXPECT_EQ(rt::poolAvailable(2), 3);
    std::memset(again->data, 1, 16);
    EXPECT_EQ(putMsgToPool(2, again), 1);
    // resetQueues gives queued pool messages back and drops foreign ones.
    HostMsg foreign{};
    putMsgToSapOq(2, other), putMsgToSapIq(2, &foreign);
    rt::resetQueues();
    EXPECT_EQ(rt::poolAvailable(2), 3);
    EXPECT_EQ(rt::inputQueueLength(2), 0);
}

TEST_F(Queues, WaitInputQueueTimesOutAndWakes) {
    auto t0 = steady_clock::now();
    EXPECT_EQ(rt::waitInputQueue(4, 100), nullptr);
    EXPECT_GE(steady_clock::now() - t0, 95ms);
    HostMsg *m = getMsgFromPool(4);
    std::thread driver([m] { std::this_thread::sleep_for(30ms), putMsgToSapIq(4, m); });
    EXPECT_EQ(rt::waitInputQueue(4, 5000), m);
    driver.join();
    EXPECT_EQ(putMsgToPool(4, m), 1);
}

// Host threads queue requests while driver threads take them and report them back:
// every request must arrive exactly once and every message must return to the pool.
TEST_F(Queues, ConcurrentUseLosesAndDuplicatesNothing) {
    constexpr int kChannel = 5, kProducers = 4, kConsumers = 3, kEach = 2000;
    rt::configurePool(kChannel, 32, 64);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p)
        threads.emplace_back([p] {
            for (int i = 0; i < kEach;) {
                if (HostMsg *m = getMsgFromPool(kChannel)) {
                    m->index = static_cast<uint32_t>(p * kEach + i++);
                    (i % 3 ? putMsgToSapOq : insMsgToSapOq)(kChannel, m);
                } else {
                    std::this_thread::sleep_for(100us);
                }
            }
        });
    for (int c = 0; c < kConsumers; ++c)
        threads.emplace_back([&stop] {
            while (!stop.load())
                if (HostMsg *m = getMsgFromSapOq(kChannel))
                    putMsgToSapIq(kChannel, m);
                else
                    std::this_thread::sleep_for(50us);
        });
    std::vector<int> seen(kProducers * kEach, 0);
    int got = 0;
    while (HostMsg *m = got < kProducers * kEach ? rt::waitInputQueue(kChannel, 5000) : nullptr) {
        ++got;
        if (m->index < seen.size()) ++seen[m->index];
        putMsgToPool(kChannel, m);
    }
    stop.store(true);
    for (auto &t : threads) t.join();
    EXPECT_EQ(got, kProducers * kEach);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kProducers * kEach);
    EXPECT_EQ(rt::poolAvailable(kChannel), 32);
    EXPECT_EQ(rt::outputQueueLength(kChannel), 0);
}

}  // namespace
