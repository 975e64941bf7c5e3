// The v6 engine end to end: the driver's entry points, a pseudo-terminal, and the station
// simulator speaking v6 frames at the far end.
#pragma once
#include <chrono>
#include <functional>
#include <optional>
#include <source_location>

#include "common/driver_stop.h"
#include "common/station_line.h"
#include "v6_fixture.h"

class EngineTest : public V6Test {
protected:
    static constexpr int kLine = 0;

    static hydrix::station::Model model() {
        hydrix::station::Plant p;
        p.plantNumber = 12;
        // Eight header numbers and the values; the engine reads the first value as a ninth
        // header number and numbers the rest from 1.
        p.pictures[3] = {{1, 2, 3, 5, 0, 0, 0, 0}, {100, 101, 102, 103, 104, 105, 106, 107}};
        p.reportRows = {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}};
        p.setpoints = {{1, {'A', 17, ""}}, {2, {'1', 2.5, ""}}, {3, {'T', 0, "PUMP"}}};
        p.limits = {{4, {1, 100, 10, 5, 2}}};
        for (int h = 0; h < 6; ++h) p.history.push_back({{2026, 3, 1, h, 0}, {h + 0.0, 10.0 * h}});
        for (int h : {10, 11})
            p.alarms.push_back({h + 7, {2026, 3, 1, h, 30}, -1, "A", {"0", "0", "0", "0", "0", "0"}});
        hydrix::station::Model m;
        m.plants = {p};
        return m;
    }
    void SetUp() override {
        V6Test::SetUp();
        hydrix::rt::configurePool(kLine, 64, 2048);
        ASSERT_FALSE(hydrix::rt::loadProfileText("[Chan0]\nHYDRIXDefault=0\nDeviceName=line0\nNodes=12 7\n"));
        line_.emplace(kLine, intervalReadTimeout(2000), model(), true);
        sim = &line_->sim;
        ASSERT_EQ(drvInstall("Driver"), 1);
        ASSERT_EQ(drvAddChan(kLine, "Chan0"), 1);
        ASSERT_EQ(drvInitComm(kLine, getCommHandle(kLine)), 1);
    }
    void TearDown() override {
        stopDriver(30000, 50);
        EXPECT_EQ(drvQueryState(), DRV_STATE_STOPPED);
        EXPECT_FALSE(traced("Some buffers lost from pool"));
        sim = nullptr;
        line_.reset();
        drvUnInstall();
        for (HostMsg *m : taken_) putMsgToPool(kLine, m);
        hydrix::rt::resetQueues();
        EXPECT_EQ(hydrix::rt::poolAvailable(kLine), poolSize) << "a host message was kept";
        V6Test::TearDown();
    }
    V6Channel &line() { return v6Channels[kLine]; }
    void faults(const std::function<void(hydrix::station::Faults &)> &change) { line_->faults(change); }
    HostMsg *send(uint32_t node, uint32_t address, uint32_t direction, uint32_t index = 0, const void *value = nullptr,
                  size_t size = 0) {
        HostMsg *m = getMsgFromPool(kLine);
        *m = HostMsg{0, node, address, index, direction, 2, 0, 0, 0, 0, 0, 0, m->data};
        if (value != nullptr) std::memcpy(m->data, value, size);
        putMsgToSapOq(kLine, m);
        return m;
    }
    // Waits for `n` messages from the driver; they go back to the pool at the end.
    std::vector<HostMsg *> collect(size_t n, int timeoutMs = 5000) {
        std::vector<HostMsg *> got;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n && std::chrono::steady_clock::now() < until)
            if (HostMsg *m = hydrix::rt::waitInputQueue(kLine, 20)) got.push_back(m);
        taken_.insert(taken_.end(), got.begin(), got.end());
        return got;
    }
    // Waits for `req` to come back alone, failed with the given triple (sub unchecked if
    // not given).
    void expectFailed(HostMsg *req, uint32_t group, uint32_t code, std::optional<uint32_t> sub = {},
                      int timeoutMs = 5000, std::source_location at = std::source_location::current()) {
        const ::testing::ScopedTrace caller(at.file_name(), static_cast<int>(at.line()), "expectFailed");
        const auto got = collect(1, timeoutMs);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], req);
        EXPECT_EQ(std::make_pair(req->errGroup, req->errCode), std::make_pair(group, code));
        if (sub) {
            EXPECT_EQ(req->errSub, *sub);
        }
    }
    int sentCount(const std::string &command) { return static_cast<int>(line_->sent(command)); }

    std::optional<StationLine> line_;
    hydrix::station::Simulator *sim = nullptr;
    std::vector<HostMsg *> taken_;
    int poolSize = 64;
};
