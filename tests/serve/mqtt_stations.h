// Two simulated stations for the gateway's MQTT tests, and what a subscriber got from
// them, counted: plant 12 (telegram engine, channel 0) and station 7 (v6 engine,
// channel 1), on pseudo-terminals that outlive the gateways a test starts.
#pragma once
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "mqtt_harness.h"
#include "station/station.h"

namespace servetest {

namespace st = hydrix::station;

class Stations {
public:
    Stations();
    ~Stations();
    st::Simulator &sim(int node) { return *sim_[node == 12 ? 0 : 1]; }
    // A profile of both lines. `serve`: the [Serve] lines besides Mqtt and Outbox (by
    // default both stations' picture 1, alarms and history, every second).
    std::string profile(const Broker &broker, const std::string &outbox, const std::string &serve = kServe) const;
    static const std::string kServe;
    // Replaces a station's alarms.
    void setAlarms(int node, const std::vector<st::Alarm> &alarms);

private:
    std::optional<st::Pty> pty_[2];
    std::unique_ptr<st::Simulator> sim_[2];
};

std::set<int> alarmCodes(const st::Model &m);

// Alarm codes and history (node, time) keys as the subscriber got them, with counts.
struct Tally {
    std::map<std::pair<int, int>, int> alarms;           // (node, code)
    std::map<std::pair<int, std::string>, int> history;  // (node, time)
    size_t historyMessages = 0;
};
Tally tally(Subscriber &sub);

size_t occurrences(const std::string &text, const std::string &part);
std::set<int> alarmCodesSeen(Subscriber &sub);
// Every expected alarm code reached the subscriber, each once.
void expectEachAlarmOnce(Subscriber &sub, const std::set<int> &expected);
std::string lastPayload(Subscriber &sub, const std::string &topic);

}  // namespace servetest
