// A pseudo-terminal made a channel's port, for tests that drive the driver's line I/O.
// The master side belongs to the test (or to a station simulator the test runs on it).
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "runtime/runtime.h"
#include "station/station.h"

// Reads that give up `ms` after they start (the telegram engine's tests).
inline CommTimeouts totalReadTimeout(uint32_t ms) { return CommTimeouts{0, 0, ms, 0, 200}; }
// Reads that give up after `ms` of silence between bytes (the v6 engine's port).
inline CommTimeouts intervalReadTimeout(uint32_t ms) { return CommTimeouts{ms, 0, 0, 100, 200}; }

struct PtyPort {
    hydrix::station::Pty pty;
    int channel;
    PtyPort(int channel_, const CommTimeouts &timeouts) : channel(channel_) {
        std::string error;
        auto p = hydrix::station::Pty::open(&error);
        if (!p) ADD_FAILURE() << error;
        pty = std::move(*p);
        const hydrix::rt::PortSettings settings{pty.slavePath(), CommLine{9600, 8, 0, 0, 0, 0, {}}};
        if (auto failed = hydrix::rt::openChannelPort(channel, settings)) ADD_FAILURE() << *failed;
        CommSettings cs{};
        getDefaultCommSettings(channel, getCommHandle(channel), &cs);
        cs.timeouts = timeouts;
        configComm(channel, getCommHandle(channel), &cs);
    }
    ~PtyPort() { hydrix::rt::closeChannelPort(channel); }
    void write(const std::string &bytes) const {
        ASSERT_EQ(::write(pty.master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};
