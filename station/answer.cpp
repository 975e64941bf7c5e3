// What a plant answers to each request telegram, from the model.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "station/frame.h"
#include "station/station.h"

namespace hydrix::station {

namespace {

// A whole decimal number (optional sign), nothing else.
bool toInt(const std::string &s, int *out) {
    if (s.empty() || s.size() > 11) return false;
    char *end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || v < -0x7FFFFFFFL || v > 0x7FFFFFFFL) return false;
    *out = static_cast<int>(v);
    return true;
}

// Exactly `count` words, each a whole number.
bool toInts(const std::vector<std::string> &words, int *out, size_t count) {
    if (words.size() != count) return false;
    for (size_t i = 0; i < count; ++i)
        if (!toInt(words[i], &out[i])) return false;
    return true;
}

std::string two(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

std::string stamp(const LocalTime &t) {
    return two(t.year - 2000) + " " + two(t.month) + " " + two(t.day) + " " + two(t.hour) + " " + two(t.minute);
}

std::string joinNumbers(const std::vector<double> &values) {
    std::string out;
    for (double v : values) {
        if (!out.empty()) out += ' ';
        out += wire::number(v);
    }
    return out;
}

// The v6 engine reads picture and report values as whole 32-bit numbers (a "1.5" would
// reach the host as 1): a station on a v6 line holds whole numbers, so it sends each value
// rounded to the nearest one.
std::vector<double> forEngine(const std::vector<double> &values, bool v6) {
    if (!v6) return values;
    std::vector<double> out;
    out.reserve(values.size());
    for (double v : values)
        out.push_back(static_cast<double>(std::clamp<long long>(std::llround(v), -0x7FFFFFFFLL - 1, 0x7FFFFFFFLL)));
    return out;
}

std::string pictureText(const Picture &p, bool v6) {
    std::string head = joinNumbers(p.header), vals = joinNumbers(forEngine(p.values, v6));
    return head.empty() ? vals : vals.empty() ? head : head + " " + vals;
}

// The daily report, all rows in order. The v6 engine reads rows of five. The telegram
// engine reads the reply's first number twice (as its values 0 and 1) and wants a multiple
// of five in all, so the station leaves value 0 out for it: the engine's values 1 onward
// are then the report's own, each at its number, and its value 0 repeats value 1.
std::string reportText(const Plant &p, bool v6) {
    std::vector<double> all;
    for (const auto &row : p.reportRows) all.insert(all.end(), row.begin(), row.end());
    if (!v6 && !all.empty()) all.erase(all.begin());
    return joinNumbers(forEngine(all, v6));
}

// The type letter as each engine's list parser knows it. The telegram engine knows the
// whole-number letters D, I and S, the v6 engine A and D: a whole number of type A goes to
// the telegram engine as I, one of type I or S to the v6 engine as A.
char wireType(char type, bool v6) {
    if (!v6 && type == 'A') return 'I';
    if (v6 && (type == 'I' || type == 'S')) return 'A';
    return type;
}

// The records stamped after `from`, at most `limit`. With the telegram convention a
// midnight record is stamped 00:00 of the day it closes.
std::string historyText(const Plant &p, const LocalTime &from, int limit, bool v6, int *records) {
    std::string out;
    int n = 0;
    for (const auto &r : p.history) {
        if (!(from < r.time)) continue;
        if (n++ == limit) break;
        LocalTime shown = r.time;
        if (!v6 && shown.hour == 0 && shown.minute == 0) shown = wire::addDays(shown, -1);
        if (!out.empty()) out += ' ';
        out += stamp(shown) + " " + joinNumbers(r.values) + " !";
    }
    *records = std::min(n, limit);
    return out;
}

// "0 1": a list read (MCC, MAS) rather than a write.
bool isListRead(const std::vector<std::string> &args) { return args.size() == 2 && args[0] == "0" && args[1] == "1"; }

// A list's entries, one text each, blank separated; "NDA" for an empty list.
template <typename List, typename Entry>
std::string listText(const List &list, Entry entry) {
    if (list.empty()) return "NDA";
    std::string out;
    for (const auto &[n, item] : list) {
        if (!out.empty()) out += ' ';
        out += entry(n, item);
    }
    return out;
}

}  // namespace

namespace wire {

std::string alarmReply(const Plant &p) {
    if (p.alarms.empty()) return "ALN";
    const Alarm &a = p.alarms.front();
    std::string out =
        "ALR " + std::to_string(p.plantNumber) + " " + std::to_string(a.code) + " " + stamp(a.time) + " " + a.flag;
    // Appended piece by piece: `" " + std::string` here trips g++ 12's -Wrestrict false
    // positive at -O3.
    for (size_t i = 0; i < 6; ++i) {
        out += ' ';
        out += i < a.extra.size() ? a.extra[i] : std::string("0");
    }
    if (a.second >= 0) {
        out += ' ';
        out += two(a.second);
    }
    return out;
}

}  // namespace wire

int Simulator::activePlant() const {
    if (model_.find(onLine_)) return onLine_;
    return model_.plants.empty() ? -1 : model_.plants.front().plantNumber;
}

std::vector<Simulator::Reply> Simulator::answer(const std::string &raw, bool v6) {
    using wire::STX;
    const wire::Request req = wire::parseRequest(raw, v6);
    std::lock_guard lock(mutex_);
    if (!req.ok()) {
        ++counters_.badChecks;
        return {{STX, "SCE"}};
    }
    const auto &w = req.words;
    if (w.empty()) return {{STX, "SCE"}};
    if (w[0] == "OK" && w.size() == 1) {
        ++counters_.ok;
        const Plant *p = model_.find(activePlant());
        if (!p) return {};
        return {{STX, wire::alarmReply(*p)}};
    }
    int number = 0;
    if (!toInt(w[0], &number)) return {{STX, "SCE"}};
    Plant *p = model_.find(number);
    if (!p && number == 0) p = model_.find(activePlant());
    if (!p) {
        ++counters_.ignored;
        return {};
    }
    onLine_ = p->plantNumber;
    const std::string cmd = w.size() > 1 ? w[1] : "";
    const Args args(w.begin() + std::min<size_t>(2, w.size()), w.end());
    return answerCommand(*p, cmd, args, v6);
}

std::vector<Simulator::Reply> Simulator::answerCommand(Plant &p, const std::string &cmd, const Args &args, bool v6) {
    using wire::STX;
    if (cmd == "WGS") return {pictureCommand(p, args, v6)};
    if (cmd == "WGD") {
        const std::string text = reportText(p, v6);
        return {{STX, text.empty() ? "NDA" : text}};
    }
    if (cmd == "MCC") return {setpointCommand(p, args, v6)};
    if (cmd == "MAS") return {limitCommand(p, args)};
    if (cmd == "WGH") return {historyCommand(p, args, v6)};
    if (cmd == "WCA") return {{STX, wire::alarmReply(p)}};
    if (cmd == "ALO") {
        acknowledgeAlarm(p);
        return {};
    }
    if (cmd == "BRK") {
        ++counters_.brk;
        return {};
    }
    return {{STX, "SCE"}};
}

// WGS P <machine> <letter> <picture>: a picture read ("!"), or a machine command (F, N, B,
// M), recorded and answered like the read.
Simulator::Reply Simulator::pictureCommand(Plant &p, const Args &args, bool v6) {
    using wire::STX;
    int machine = 0, picture = 0;
    if (args.size() != 4 || args[0] != "P" || args[2].size() != 1 || !toInt(args[1], &machine) ||
        !toInt(args[3], &picture))
        return {STX, "SCE"};
    const char letter = args[2][0];
    if (letter != '!') {
        if (std::string("FNBM").find(letter) == std::string::npos) return {STX, "SCE"};
        machineCommands_.push_back(MachineCommand{p.plantNumber, machine, letter, picture});
    }
    const auto it = p.pictures.find(picture);
    if (it == p.pictures.end()) return {STX, "NDA"};
    ++book_.pictures;
    return {STX, pictureText(it->second, v6)};
}

// MCC 0 1 reads the setpoint list; otherwise a write: [route] six time fields, number,
// type, value.
Simulator::Reply Simulator::setpointCommand(Plant &p, const Args &args, bool v6) {
    using wire::STX;
    if (isListRead(args))
        return {STX, listText(p.setpoints, [v6](int n, const Setpoint &s) {
                    return std::to_string(n) + " " + wireType(s.type, v6) + " " + wire::setpointValue(s);
                })};
    int n = 0;
    if (args.size() < 9 || !toInt(args[args.size() - 3], &n)) return {STX, "SCE"};
    const std::string &type = args[args.size() - 2];
    const std::string &value = args.back();
    setpointWrites_.push_back(SetpointWrite{p.plantNumber, n, type, value});
    const auto it = p.setpoints.find(n);
    if (it == p.setpoints.end()) return {STX, "SCE"};
    if (it->second.type == 'T' || type == "T") {
        std::string text = value;
        if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') text = text.substr(1, text.size() - 2);
        it->second.text = text.substr(0, 16);
    } else {
        it->second.value = std::strtod(value.c_str(), nullptr);
    }
    return {STX, "SCO"};
}

// MAS 0 1 reads the alarm limits; MAS with six numbers writes one channel's limits.
Simulator::Reply Simulator::limitCommand(Plant &p, const Args &args) {
    using wire::STX;
    if (isListRead(args))
        return {STX, listText(p.limits, [](int ch, const AlarmLimit &l) {
                    return std::to_string(ch) + " " + std::to_string(l.type) + " " + std::to_string(l.high) + " " +
                           std::to_string(l.low) + " " + std::to_string(l.hysteresis) + " " +
                           std::to_string(l.decimals);
                })};
    int v[6];
    if (!toInts(args, v, 6)) return {STX, "SCE"};
    const AlarmLimit l{v[1], v[2], v[3], v[4], v[5]};
    limitWrites_.push_back(LimitWrite{p.plantNumber, v[0], l});
    const auto it = p.limits.find(v[0]);
    if (it == p.limits.end()) return {STX, "SCE"};
    it->second = l;
    return {STX, "SCO"};
}

// WGH yy mm dd hh mi: the history records after that time, a chunk at a time.
Simulator::Reply Simulator::historyCommand(const Plant &p, const Args &args, bool v6) {
    using wire::STX;
    int f[5];
    if (!toInts(args, f, 5)) return {STX, "SCE"};
    const LocalTime from{f[0] + 2000, f[1], f[2], f[3], f[4]};
    int records = 0;
    const std::string text = historyText(p, from, model_.historyChunk, v6, &records);
    book_.historyRecords += records;
    if (text.empty()) ++book_.historyNda;
    return {STX, text.empty() ? "NDA" : text};
}

// ALO: the oldest alarm is acknowledged and leaves the plant's list.
void Simulator::acknowledgeAlarm(Plant &p) {
    ++counters_.alo;
    if (p.alarms.empty()) {
        ++book_.aloEmpty;
        return;
    }
    const int code = p.alarms.front().code;
    if (book_.alarmsReported.count(code) == 0) ++book_.aloUnreported;
    book_.alarmsAcked.push_back(code);
    p.alarms.pop_front();
}

}  // namespace hydrix::station
