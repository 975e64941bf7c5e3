// A host for the driver's own tests: the runtime's profile, queues and trace, and a clean
// driver before every test.
#pragma once
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "driver/state.h"
#include "runtime/runtime.h"

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        hydrix::rt::setTraceFile(nullptr);
        hydrix::rt::setSyslog(false);
        hydrix::rt::setTraceSink([this](const std::string &line) {
            std::lock_guard<std::mutex> lock(traceMutex_);
            traces_.push_back(line);
        });
        hydrix::rt::clearLoggedEvents();
    }
    void TearDown() override {
        drvStop();
        for (int i = 0; i < 100 && drvQueryState() != DRV_STATE_STOPPED; ++i) drvHndlTimer();
        drvUnInstall();
        hydrix::rt::setTraceSink({});
        hydrix::rt::resetQueues();
    }
    void useProfile(const std::string &text) {
        auto error = hydrix::rt::loadProfileText(text);
        ASSERT_FALSE(error) << error->what();
    }
    std::vector<std::string> traces() {
        std::lock_guard<std::mutex> lock(traceMutex_);
        return traces_;
    }
    bool traced(const std::string &line) {
        for (const auto &t : traces())
            if (t == line) return true;
        return false;
    }

private:
    std::mutex traceMutex_;
    std::vector<std::string> traces_;
};
