// A channel's port on a pseudo-terminal with the station simulator serving its far end:
// the line the engines' end-to-end tests run on.
#pragma once
#include <algorithm>
#include <functional>
#include <string>
#include <utility>

#include "common/pty_port.h"
#include "station/station.h"

struct StationLine {
    PtyPort port;
    hydrix::station::Simulator sim;
    const bool v6;

    StationLine(int channel, const CommTimeouts &timeouts, hydrix::station::Model model, bool v6Frames = false)
        : port(channel, timeouts), sim(port.pty.master(), std::move(model)), v6(v6Frames) {
        fail(-1, [](hydrix::station::Faults &) {});
        sim.start();
    }
    // How many telegrams that the station received hold `command`.
    long sent(const std::string &command) const {
        const auto all = sim.receivedTelegrams();
        return std::count_if(all.begin(), all.end(), [&](const std::string &t) { return t.find(command) != t.npos; });
    }
    // Changes the station's faults from what they are now.
    void faults(const std::function<void(hydrix::station::Faults &)> &change) {
        hydrix::station::Faults f = sim.faults();
        change(f);
        sim.setFaults(f);
    }
    // Only the faults `set` makes, for the next `replies` requests (-1: until changed).
    void fail(int replies, const std::function<void(hydrix::station::Faults &)> &set) {
        hydrix::station::Faults f;
        f.v6Framing = v6;
        f.replies = replies;
        set(f);
        sim.setFaults(f);
    }
};
