// The plants' data: the built-in model and models read from JSON files.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "station/frame.h"
#include "station/station.h"

namespace hydrix::station {

Plant *Model::find(int plantNumber) {
    for (auto &p : plants)
        if (p.plantNumber == plantNumber) return &p;
    return nullptr;
}

const Plant *Model::find(int plantNumber) const { return const_cast<Model *>(this)->find(plantNumber); }

namespace {

LocalTime localNow(int *second = nullptr) {
    const time_t now = time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    if (second) *second = tm.tm_sec;
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min};
}

// One plant of the built-in model. `step` is the distance between picture 1's values:
// plant 12 has fractions (the telegram engine reads them as they are), plant 7 whole
// numbers, which the v6 engine reads as they are too.
Plant makePlant(int number, int seed, double step, const LocalTime &now) {
    Plant p;
    p.plantNumber = number;
    // Picture 1: a plain screen; picture 3: split after value 4 (header[3] = 5).
    p.pictures[1] = Picture{{1, 0, 0, 0, 0, 0, 0, 0}, {}};
    for (int i = 0; i < 12; ++i) p.pictures[1].values.push_back(seed + i * step);
    p.pictures[3] = Picture{{3, 0, 0, 5, 0, 0, 0, 0}, {}};
    for (int i = 0; i < 10; ++i) p.pictures[3].values.push_back(seed * 10 + i);
    for (int row = 0; row < 3; ++row) {
        std::vector<double> r;
        for (int i = 0; i < 5; ++i) r.push_back(seed * 100 + row * 10 + i);
        p.reportRows.push_back(r);
    }
    p.setpoints[1] = Setpoint{'0', 12.0 + seed, ""};
    p.setpoints[2] = Setpoint{'1', 3.5, ""};
    p.setpoints[3] = Setpoint{'2', 1.25, ""};
    p.setpoints[4] = Setpoint{'3', 0.125, ""};
    p.setpoints[5] = Setpoint{'4', 2.5, ""};
    p.setpoints[6] = Setpoint{'0', 17, ""};
    p.setpoints[7] = Setpoint{'D', 1, ""};
    p.setpoints[8] = Setpoint{'A', 40, ""};
    p.setpoints[9] = Setpoint{'S', 2, ""};
    p.setpoints[10] = Setpoint{'T', 0, "Pump" + std::to_string(number)};
    for (int ch = 1; ch <= 4; ++ch) p.limits[ch] = AlarmLimit{1, 100 * ch, 10 * ch, 5, 1};
    // A day of hourly history up to the last full hour.
    LocalTime t = now;
    t.minute = 0;
    std::vector<HistoryRecord> hist;
    for (int i = 0; i < 24; ++i) {
        hist.push_back(HistoryRecord{t, {double(t.hour), double(seed + i), double(i % 2)}});
        if (t.hour == 0) {
            t = wire::addDays(t, -1);
            t.hour = 23;
        } else {
            --t.hour;
        }
    }
    std::reverse(hist.begin(), hist.end());
    p.history = std::move(hist);
    Alarm a1;
    a1.code = 100 + seed;
    a1.time = p.history.back().time;
    a1.time.minute = 15;
    a1.second = 30;
    Alarm a2;
    a2.code = 200 + seed;
    a2.time = p.history.back().time;
    a2.time.minute = 20;
    a2.flag = "N";
    p.alarms = {a1, a2};
    return p;
}

// ---- JSON ------------------------------------------------------------------------------

struct Bad {
    std::string where, what;
};

using nlohmann::json;

void onlyKeys(const json &j, const std::string &where, std::initializer_list<const char *> keys) {
    if (!j.is_object()) throw Bad{where, "must be an object"};
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (std::none_of(keys.begin(), keys.end(), [&](const char *k) { return it.key() == k; }))
            throw Bad{where, "unknown key \"" + it.key() + "\""};
    }
}

int getInt(const json &j, const char *key, const std::string &where, int lo, int hi, int def, bool required = false) {
    if (!j.contains(key)) {
        if (required) throw Bad{where, std::string("needs \"") + key + "\""};
        return def;
    }
    const json &v = j.at(key);
    if (!v.is_number_integer()) throw Bad{where + "." + key, "must be a whole number"};
    const long long n = v.get<long long>();
    if (n < lo || n > hi)
        throw Bad{where + "." + key, "must be from " + std::to_string(lo) + " to " + std::to_string(hi)};
    return static_cast<int>(n);
}

std::vector<double> getNumbers(const json &j, const std::string &where) {
    if (!j.is_array()) throw Bad{where, "must be a list of numbers"};
    std::vector<double> out;
    for (size_t i = 0; i < j.size(); ++i) {
        if (!j[i].is_number()) throw Bad{where + "[" + std::to_string(i) + "]", "must be a number"};
        out.push_back(j[i].get<double>());
    }
    return out;
}

// "YYYY-MM-DD HH:MM"
LocalTime getTime(const json &j, const char *key, const std::string &where) {
    if (!j.contains(key) || !j.at(key).is_string())
        throw Bad{where, std::string("needs \"") + key + "\" as \"YYYY-MM-DD HH:MM\""};
    const std::string s = j.at(key).get<std::string>();
    LocalTime t;
    char tail = 0;
    if (std::sscanf(s.c_str(), "%d-%d-%d %d:%d%c", &t.year, &t.month, &t.day, &t.hour, &t.minute, &tail) != 5 ||
        !wire::validDate(t) || t.year < 2000 || t.year > 2099)
        throw Bad{where + "." + key, "\"" + s + "\" is not a date and time \"YYYY-MM-DD HH:MM\" from 2000 to 2099"};
    return t;
}

// Calls each(item, place) for every item of the list `key` of j, if j has one; the place
// names the item for errors ("plants[0].pictures[2]").
template <typename Each>
void eachItem(const json &j, const char *key, const std::string &where, Each each,
              const char *notList = "must be a list") {
    if (!j.contains(key)) return;
    const json &list = j.at(key);
    if (!list.is_array()) throw Bad{where + "." + key, notList};
    for (size_t i = 0; i < list.size(); ++i) each(list[i], where + "." + key + "[" + std::to_string(i) + "]");
}

void addPicture(Plant &p, const json &item, const std::string &w) {
    onlyKeys(item, w, {"number", "header", "values"});
    const int n = getInt(item, "number", w, 0, 255, 0, true);
    Picture pic;
    pic.header = item.contains("header") ? getNumbers(item.at("header"), w + ".header") : std::vector<double>(8, 0.0);
    // Both engines skip eight header numbers before the values (the v6 engine reads
    // value 0 with them).
    if (pic.header.size() != 8) throw Bad{w + ".header", "must have 8 numbers"};
    if (item.contains("values")) pic.values = getNumbers(item.at("values"), w + ".values");
    if (!p.pictures.emplace(n, pic).second) throw Bad{w, "picture " + std::to_string(n) + " is given twice"};
}

// A row of the daily report: five whole numbers, as the v6 engine reads them.
std::vector<double> getReportRow(const json &item, const std::string &w) {
    std::vector<double> row = getNumbers(item, w);
    if (row.size() != 5) throw Bad{w, "a row has 5 numbers"};
    for (double v : row)
        if (v != std::trunc(v) || std::fabs(v) > 2147483647.0)
            throw Bad{w, "report numbers are whole numbers from -2147483647 to 2147483647"};
    return row;
}

// A text setpoint's text: the v6 engine reads a text up to the next blank, the telegram
// engine up to the apostrophe or 16 characters.
std::string getSetpointText(const json &item, const std::string &w) {
    if (!item.contains("text") || !item.at("text").is_string()) throw Bad{w, "a text setpoint needs \"text\""};
    std::string text = item.at("text").get<std::string>();
    const bool plain =
        std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F && c != '\'' && c != '#'; });
    if (text.size() > 16 || !plain)
        throw Bad{w + ".text",
                  "must have at most 16 characters, without blanks, "
                  "apostrophes or \"#\""};
    return text;
}

double getSetpointValue(const json &item, char type, const std::string &w) {
    if (!item.at("value").is_number()) throw Bad{w + ".value", "must be a number"};
    const double value = item.at("value").get<double>();
    // Whole-number types go to the v6 engine as one 16-bit word.
    if (std::string("ADIS").find(type) != std::string::npos &&
        (value != std::trunc(value) || value < 0 || value > 65535))
        throw Bad{w + ".value", std::string("type ") + type + " takes whole numbers from 0 to 65535"};
    if (!std::isfinite(value) || std::fabs(value) > 2147483647.0)
        throw Bad{w + ".value", "must be from -2147483647 to 2147483647"};
    return value;
}

void addSetpoint(Plant &p, const json &item, const std::string &w) {
    onlyKeys(item, w, {"number", "type", "value", "text"});
    const int n = getInt(item, "number", w, 1, 127, 0, true);
    Setpoint s;
    const json &type = item.contains("type") ? item.at("type") : json("0");
    const std::string t = type.is_string() ? type.get<std::string>() : "";
    if (t.size() != 1 || std::string("01234ADIST").find(t[0]) == std::string::npos)
        throw Bad{w + ".type", "must be one of \"0\" to \"4\", \"A\", \"D\", \"I\", \"S\", \"T\""};
    s.type = t[0];
    if (s.type == 'T')
        s.text = getSetpointText(item, w);
    else if (item.contains("value"))
        s.value = getSetpointValue(item, s.type, w);
    if (!p.setpoints.emplace(n, s).second) throw Bad{w, "setpoint " + std::to_string(n) + " is given twice"};
}

void addLimit(Plant &p, const json &item, const std::string &w) {
    onlyKeys(item, w, {"channel", "type", "high", "low", "hysteresis", "decimals"});
    const int ch = getInt(item, "channel", w, 0, 65535, 0, true);
    AlarmLimit l;
    l.type = getInt(item, "type", w, 0, 65535, 0);
    l.high = getInt(item, "high", w, 0, 65535, 0);
    l.low = getInt(item, "low", w, 0, 65535, 0);
    l.hysteresis = getInt(item, "hysteresis", w, 0, 65535, 0);
    l.decimals = getInt(item, "decimals", w, 0, 65535, 0);
    if (!p.limits.emplace(ch, l).second) throw Bad{w, "channel " + std::to_string(ch) + " is given twice"};
}

HistoryRecord getHistoryRecord(const json &item, const std::string &w) {
    onlyKeys(item, w, {"time", "values"});
    HistoryRecord r;
    r.time = getTime(item, "time", w);
    if (item.contains("values")) r.values = getNumbers(item.at("values"), w + ".values");
    if (r.values.empty()) throw Bad{w, "a history record needs at least one value"};
    return r;
}

Alarm getAlarm(const json &item, const std::string &w) {
    onlyKeys(item, w, {"code", "time", "second", "flag", "extra"});
    Alarm a;
    a.code = getInt(item, "code", w, -0x7FFFFFFF, 0x7FFFFFFF, 0, true);
    a.time = getTime(item, "time", w);
    a.second = getInt(item, "second", w, 0, 59, -1);
    if (item.contains("flag")) {
        const json &f = item.at("flag");
        if (!f.is_string() || f.get<std::string>().empty() || f.get<std::string>().find(' ') != std::string::npos)
            throw Bad{w + ".flag", "must be one word, \"A\" for an active alarm"};
        a.flag = f.get<std::string>();
    }
    if (item.contains("extra")) {
        const json &e = item.at("extra");
        if (!e.is_array() || e.size() != 6) throw Bad{w + ".extra", "must be a list of six words"};
        a.extra.clear();
        for (const auto &x : e) {
            std::string s = x.is_string() ? x.get<std::string>() : x.dump();
            if (s.empty() || s.find(' ') != std::string::npos || s[0] == '#')
                throw Bad{w + ".extra", "words must be non-empty, without blanks or \"#\""};
            a.extra.push_back(s);
        }
    }
    return a;
}

Plant getPlant(const json &j, const std::string &where) {
    onlyKeys(j, where, {"plant", "pictures", "report", "setpoints", "limits", "history", "alarms"});
    Plant p;
    p.plantNumber = getInt(j, "plant", where, 0, 0x7FFFFFFF, 0, true);
    eachItem(j, "pictures", where, [&](const json &item, const std::string &w) { addPicture(p, item, w); });
    // The telegram engine's list holds 129 values, so the report has at most 25 rows.
    if (j.contains("report") && j.at("report").is_array() && j.at("report").size() > 25)
        throw Bad{where + ".report", "must have at most 25 rows"};
    eachItem(
        j, "report", where,
        [&](const json &item, const std::string &w) { p.reportRows.push_back(getReportRow(item, w)); },
        "must be a list of rows");
    eachItem(j, "setpoints", where, [&](const json &item, const std::string &w) { addSetpoint(p, item, w); });
    eachItem(j, "limits", where, [&](const json &item, const std::string &w) { addLimit(p, item, w); });
    eachItem(j, "history", where,
             [&](const json &item, const std::string &w) { p.history.push_back(getHistoryRecord(item, w)); });
    std::stable_sort(p.history.begin(), p.history.end(),
                     [](const HistoryRecord &a, const HistoryRecord &b) { return a.time < b.time; });
    eachItem(j, "alarms", where,
             [&](const json &item, const std::string &w) { p.alarms.push_back(getAlarm(item, w)); });
    return p;
}

}  // namespace

Model defaultModel() {
    const LocalTime now = localNow();
    Model m;
    m.plants.push_back(makePlant(12, 1, 1.5, now));
    m.plants.push_back(makePlant(7, 2, 2, now));
    return m;
}

std::optional<Model> parseModel(const std::string &text, const std::string &name, std::string *error) {
    try {
        const json j = json::parse(text);
        onlyKeys(j, "model", {"historyChunk", "plants"});
        Model m;
        m.historyChunk = getInt(j, "historyChunk", "model", 1, 1000, 4);
        if (!j.contains("plants") || !j.at("plants").is_array() || j.at("plants").empty())
            throw Bad{"model", "needs \"plants\", a list of at least one plant"};
        std::set<int> seen;
        const json &plants = j.at("plants");
        for (size_t i = 0; i < plants.size(); ++i) {
            const std::string w = "plants[" + std::to_string(i) + "]";
            Plant p = getPlant(plants[i], w);
            if (!seen.insert(p.plantNumber).second)
                throw Bad{w, "plant " + std::to_string(p.plantNumber) + " is given twice"};
            m.plants.push_back(std::move(p));
        }
        return m;
    } catch (const Bad &b) {
        if (error) *error = name + ": " + b.where + ": " + b.what;
    } catch (const json::exception &e) {
        if (error) *error = name + ": " + e.what();
    }
    return std::nullopt;
}

std::optional<Model> loadModel(const std::string &path, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        if (error) *error = path + ": cannot be read";
        return std::nullopt;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    return parseModel(ss.str(), path, error);
}

}  // namespace hydrix::station
