#include "mqtt_stations.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace servetest {

const std::string Stations::kServe =
    "Items=12:picture:1:0-2 every=1s, 7:picture:1:1-2 every=1s\n"
    "Alarms=12 every=1s, 7 every=1s\nHistory=12 every=1s, 7 every=1s\n";

Stations::Stations() {
    for (int i = 0; i < 2; ++i) {
        std::string error;
        pty_[i] = st::Pty::open(&error);
        if (!pty_[i]) throw std::runtime_error(error);
        sim_[i] = std::make_unique<st::Simulator>(pty_[i]->master(), st::defaultModel());
        st::Faults f;
        f.v6Framing = i == 1;
        sim_[i]->setFaults(f);
        sim_[i]->start();
    }
}

Stations::~Stations() {
    for (auto &s : sim_) s->stop();
}

std::string Stations::profile(const Broker &broker, const std::string &outbox, const std::string &serve) const {
    return "[Chan0]\nRetries=0\nNodes=12\nPort=" + pty_[0]->slavePath() +
           "\n[Chan0\\Node12]\nPlantNumber=12\n"
           "[Chan1]\nHYDRIXDefault=0\nDeviceName=LINE\nRetries=0\nNodes=7\nPort=" +
           pty_[1]->slavePath() +
           "\n"
           "[Serve]\n" +
           serve + "Mqtt=" + broker.address() + "\nOutbox=" + outbox + "\n";
}

void Stations::setAlarms(int node, const std::vector<st::Alarm> &alarms) {
    sim(node).editModel([&](st::Model &m) { m.find(node)->alarms.assign(alarms.begin(), alarms.end()); });
}

std::set<int> alarmCodes(const st::Model &m) {
    std::set<int> codes;
    for (const st::Plant &p : m.plants)
        for (const st::Alarm &a : p.alarms) codes.insert(a.code);
    return codes;
}

Tally tally(Subscriber &sub) {
    Tally t;
    for (const Received &r : sub.all()) {
        const bool alarm = r.topic.size() > 7 && r.topic.compare(r.topic.size() - 7, 7, "/alarms") == 0;
        const bool hist = r.topic.size() > 8 && r.topic.compare(r.topic.size() - 8, 8, "/history") == 0;
        if (!alarm && !hist) continue;
        const auto j = nlohmann::json::parse(r.payload);
        const int node = j.at("node").get<int>();
        if (alarm) ++t.alarms[{node, j.at("code").get<int>()}];
        if (hist) {
            ++t.history[{node, j.at("time").get<std::string>()}];
            ++t.historyMessages;
        }
    }
    return t;
}

size_t occurrences(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::set<int> alarmCodesSeen(Subscriber &sub) {
    std::set<int> codes;
    for (const auto &[key, n] : tally(sub).alarms) codes.insert(key.second);
    return codes;
}

void expectEachAlarmOnce(Subscriber &sub, const std::set<int> &expected) {
    for (const auto &[key, n] : tally(sub).alarms)
        EXPECT_EQ(n, 1) << "alarm " << key.second << " arrived " << n << " times";
    EXPECT_EQ(alarmCodesSeen(sub), expected);
}

std::string lastPayload(Subscriber &sub, const std::string &topic) {
    std::string last;
    for (const Received &r : sub.all())
        if (r.topic == topic) last = r.payload;
    return last;
}

}  // namespace servetest
