// The runtime's trace lines collected for a test, and kept off stderr and syslog while
// the capture lives.
#pragma once
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/runtime.h"

class TraceCapture {
public:
    TraceCapture() {
        hydrix::rt::setTraceFile(nullptr);
        hydrix::rt::setSyslog(false);
        hydrix::rt::setTraceSink([this](const std::string &line) {
            std::lock_guard lock(m_);
            lines_.push_back(line);
        });
    }
    ~TraceCapture() { hydrix::rt::setTraceSink({}); }
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    // Whether a line was exactly `line`.
    bool has(const std::string &line) { return count(line) > 0; }
    long count(const std::string &line) {
        std::lock_guard lock(m_);
        return std::count(lines_.begin(), lines_.end(), line);
    }
    // Whether a line holds `part` anywhere.
    bool mentions(const std::string &part) {
        std::lock_guard lock(m_);
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const std::string &l) { return l.find(part) != std::string::npos; });
    }
    void clear() {
        std::lock_guard lock(m_);
        lines_.clear();
    }

private:
    std::mutex m_;
    std::vector<std::string> lines_;
};
