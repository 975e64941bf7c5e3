// A host for tests that run the driver through its entry points: the runtime's profile,
// queues and trace, and after every test the driver stopped through the host's timer,
// uninstalled and its queues emptied.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "common/driver_stop.h"
#include "common/trace_capture.h"
#include "driver/state.h"
#include "runtime/runtime.h"

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { hydrix::rt::clearLoggedEvents(); }
    void TearDown() override {
        stopDriver();
        drvUnInstall();
        hydrix::rt::resetQueues();
    }
    void useProfile(const std::string &text) {
        auto error = hydrix::rt::loadProfileText(text);
        ASSERT_FALSE(error) << error->what();
    }
    bool traced(const std::string &line) { return trace.has(line); }

    TraceCapture trace;
};
