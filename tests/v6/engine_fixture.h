// The v6 engine end to end: the driver's entry points, a pseudo-terminal, and the station
// simulator speaking v6 frames at the far end.
#pragma once
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "v6_fixture.h"

namespace v6test {

using namespace hydrix;

constexpr const char *kProfile = R"(
[Chan0]
HYDRIXDefault=0
DeviceName=line0
Retries=3
Nodes=12 7
)";

inline station::Model testModel() {
    station::Plant p;
    p.plantNumber = 12;
    // Eight header numbers, then the values; the engine reads the first value as the
    // ninth header number and numbers the rest from 1.
    p.pictures[3] = station::Picture{{1, 2, 3, 5, 0, 0, 0, 0}, {100, 101, 102, 103, 104, 105, 106, 107}};
    p.reportRows = {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}};
    p.setpoints = {{1, {'A', 17, ""}}, {2, {'1', 2.5, ""}}, {3, {'T', 0, "PUMP"}}};
    p.limits = {{4, {1, 100, 10, 5, 2}}};
    for (int h = 0; h < 6; ++h) p.history.push_back({{2026, 3, 1, h, 0}, {h + 0.0, 10.0 * h}});
    p.alarms.push_back({17, {2026, 3, 1, 10, 30}, -1, "A", {"0", "0", "0", "0", "0", "0"}});
    p.alarms.push_back({18, {2026, 3, 1, 11, 30}, -1, "A", {"0", "0", "0", "0", "0", "0"}});
    station::Model m;
    m.plants = {p, station::Plant{}};
    m.plants[1].plantNumber = 7;
    return m;
}

class EngineTest : public V6Test {
protected:
    static constexpr int kLine = 0;

    void SetUp() override {
        V6Test::SetUp();
        rt::configurePool(kLine, 64, 2048);
        ASSERT_FALSE(rt::loadProfileText(kProfile));
        port.emplace(kLine, 2000);
        sim.emplace(port->pty.master(), testModel());
        station::Faults f;
        f.v6Framing = true;
        sim->setFaults(f);
        sim->start();
        ASSERT_EQ(drvInstall("Driver"), 1);
        ASSERT_EQ(drvAddChan(kLine, "Chan0"), 1);
        ASSERT_EQ(drvInitComm(kLine, getCommHandle(kLine)), 1);
    }
    void TearDown() override {
        stopDriver();
        EXPECT_FALSE(traced("Some buffers lost from pool"));
        sim.reset();
        port.reset();
        drvUnInstall();
        for (HostMsg *m : taken_) putMsgToPool(kLine, m);
        rt::resetQueues();
        EXPECT_EQ(rt::poolAvailable(kLine), poolSize_) << "a host message was kept";
        V6Test::TearDown();
    }
    void stopDriver() {
        drvStop();
        for (int i = 0; i < 600 && drvQueryState() != DRV_STATE_STOPPED; ++i) {
            drvHndlTimer();
            if (drvQueryState() != DRV_STATE_STOPPED) usleep(50000);
        }
        ASSERT_EQ(drvQueryState(), DRV_STATE_STOPPED);
    }
    void setPool(int count) {
        rt::configurePool(kLine, count, 2048);
        poolSize_ = count;
    }
    V6Channel &line() { return v6Channels[kLine]; }

    HostMsg *send(uint32_t node, uint32_t address, uint32_t direction, uint32_t index = 0, const void *value = nullptr,
                  size_t size = 0) {
        HostMsg *m = getMsgFromPool(kLine);
        EXPECT_NE(m, nullptr);
        m->node = node;
        m->address = address;
        m->direction = direction;
        m->index = index;
        m->length = 2;
        m->errSub = 0;
        if (value != nullptr) std::memcpy(m->data, value, size);
        putMsgToSapOq(kLine, m);
        return m;
    }
    // Waits for `n` messages from the driver (they go back to the pool at the end).
    std::vector<HostMsg *> collect(size_t n, int timeoutMs = 5000) {
        std::vector<HostMsg *> got;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            if (HostMsg *m = rt::waitInputQueue(kLine, static_cast<int>(left.count()))) {
                got.push_back(m);
                taken_.push_back(m);
            }
        }
        return got;
    }
    // Nothing more arrives within `ms`.
    bool quiet(int ms) { return rt::waitInputQueue(kLine, ms) == nullptr; }
    static bool eventually(const std::function<bool()> &ready, int timeoutMs = 5000) {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            if (ready()) return true;
            usleep(10000);
        }
        return ready();
    }
    void giveBackTaken() {
        for (HostMsg *m : taken_) putMsgToPool(kLine, m);
        taken_.clear();
    }
    int sentCount(const std::string &command) {
        int n = 0;
        for (const auto &t : sim->receivedTelegrams()) n += t.find(command) != std::string::npos;
        return n;
    }

    std::optional<PtyPort> port;
    std::optional<station::Simulator> sim;

private:
    std::vector<HostMsg *> taken_;
    int poolSize_ = 64;
};

}  // namespace v6test
