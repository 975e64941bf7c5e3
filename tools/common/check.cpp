#include "check.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <map>
#include <set>

#include "host/hydrix_host.h"
#include "inputs.h"
#include "runtime/runtime.h"

namespace hydrix::cli {
namespace {

SectionCheck g_serveSectionCheck = nullptr;

enum class Sec { Driver, Channel, Node, Dialup, Poll, Serve, Unknown };
enum class Type { Int, Text, Nodes, Port, Items, Interval };

struct Rule {
    const char *key;
    Type type;
    long long min = 0, max = 0;  // Int: the range; Text: the longest text the driver keeps
    const char *meaning = "";    // what the range means, for the message
};

const std::map<Sec, std::vector<Rule>> &rules() {
    static const std::map<Sec, std::vector<Rule>> all = {
        {Sec::Driver, {{"Debug", Type::Int, 0, 1, " (1: byte dumps of every telegram)"}}},
        {Sec::Channel,
         {{"HYDRIXDefault", Type::Int, 0, 1, " (1: telegram engine, 0: v6 engine)"},
          {"Retries", Type::Int, 0, 100},
          {"8250LineSetting", Type::Int, 0, 255},
          {"DirectConn", Type::Int, 0, 1, " (1: direct line, 0: dial-up)"},
          {"Nodes", Type::Nodes},
          {"DeviceName", Type::Text, 0, 19},
          {"MCCTimeout", Type::Int, 0, 3600000},
          {"Port", Type::Port},
          {"Baudrate", Type::Port},
          {"DataBits", Type::Port},
          {"Parity", Type::Port},
          {"StopBits", Type::Port}}},
        {Sec::Node, {{"PlantNumber", Type::Int, 1, 65535}, {"Route", Type::Text, 0, 3}}},
        {Sec::Dialup,
         {{"PostEventDb", Type::Int, 0, 65535},
          {"PostEventOffset", Type::Int, 0, 65535},
          {"PostEventValue", Type::Int, 0, 65535},
          {"id node", Type::Int, 0, 65535}}},
        {Sec::Poll, {{"Items", Type::Items}, {"Interval", Type::Interval}}},
    };
    return all;
}

struct SectionId {
    Sec kind = Sec::Unknown;
    int channel = -1;
    long long node = -1;
};

SectionId classify(const std::string &name) {
    std::string n = name;
    std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (n == "driver") return {Sec::Driver};
    if (n == "poll") return {Sec::Poll};
    if (n == "serve" || n == "serve\\tags" || n == "serve\\alarms") return {Sec::Serve};  // the gateway checks its own
    if (n.size() < 5 || n.compare(0, 4, "chan") != 0 || n[4] < '0' || n[4] > '7') return {};
    const int channel = n[4] - '0';
    const std::string rest = n.substr(5);
    if (rest.empty()) return {Sec::Channel, channel};
    if (rest == "\\dialup") return {Sec::Dialup, channel};
    if (rest.compare(0, 5, "\\node") == 0 && rest.size() > 5 && rest.size() <= 15 &&
        std::all_of(rest.begin() + 5, rest.end(), ::isdigit))
        return {Sec::Node, channel, std::stoll(rest.substr(5))};
    return {};
}

// Decimal or "0x" hexadecimal, the whole text, within long long.
std::optional<long long> strictInt(const std::string &text) {
    size_t i = 0;
    const bool negative = !text.empty() && (text[0] == '-' || text[0] == '+') && text[i++] == '-';
    const bool hex = text.size() > i + 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X');
    if (hex) i += 2;
    if (i >= text.size() || text.size() - i > 15) return std::nullopt;
    long long v = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!(hex ? std::isxdigit(c) : std::isdigit(c))) return std::nullopt;
        v = v * (hex ? 16 : 10) + (std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
    }
    return negative ? -v : v;
}

class Checker {
public:
    std::vector<Finding> run();

private:
    void entry(const rt::ProfileEntry &e, const SectionId &id);
    void value(const rt::ProfileEntry &e, const SectionId &id, const Rule &rule);
    void nodes(const rt::ProfileEntry &e, const SectionId &id);
    void add(bool error, const rt::ProfileEntry &e, const std::string &what) {
        out_.push_back({error, e.line, "[" + e.section + "] " + e.key + " = " + e.value + ": " + what});
    }

    std::vector<Finding> out_;
    std::map<int, bool> v6_;                    // channel -> v6 engine
    std::map<int, bool> dialUp_;                // channel -> DirectConn=0
    std::map<int, std::set<long long>> nodes_;  // channel -> its nodes
};

std::vector<Finding> Checker::run() {
    const auto entries = rt::profileEntries();
    // Engines and node lists first: what a sub-section means depends on its channel.
    for (int c = 0; c < HYDRIX_CHANNELS; ++c) {
        const std::string section = "Chan" + std::to_string(c);
        v6_[c] = myGetPrivateProfileInt(section.c_str(), "HYDRIXDefault", 1, 0) == 0;
        dialUp_[c] = myGetPrivateProfileInt(section.c_str(), "DirectConn", 1, 0) == 0;
    }
    std::set<std::string> seenSections;
    for (const std::string &s : rt::profileSections()) {
        const SectionId id = classify(s);
        if (id.kind == Sec::Unknown) out_.push_back({false, 0, "[" + s + "]: unknown section (nothing reads it)"});
        if (id.kind == Sec::Channel && !rt::profileValue(s, "Nodes"))
            out_.push_back({true, 0, "[" + s + "]: no Nodes key (the list of its stations)"});
        if (id.kind == Sec::Channel && v6_[id.channel] && rt::profileValue(s, "DeviceName").value_or("").empty())
            out_.push_back({true, 0, "[" + s + "]: the v6 engine needs a DeviceName key"});
    }
    for (const rt::ProfileEntry &e : entries) {
        const SectionId id = classify(e.section);
        if (id.kind == Sec::Channel && strcasecmp(e.key.c_str(), "Nodes") == 0 && !e.repeated) nodes(e, id);
    }
    for (const rt::ProfileEntry &e : entries) entry(e, classify(e.section));
    if (g_serveSectionCheck)
        for (const Finding &f : g_serveSectionCheck()) out_.push_back(f);
    std::stable_sort(out_.begin(), out_.end(), [](const Finding &a, const Finding &b) { return a.line < b.line; });
    return out_;
}

void Checker::entry(const rt::ProfileEntry &e, const SectionId &id) {
    if (id.kind == Sec::Unknown || id.kind == Sec::Serve) return;  // said once for the section; [Serve]: its own
    if (e.repeated) {
        add(false, e, "given again in this section: the first value counts, this line is ignored");
        return;
    }
    const auto &list = rules().at(id.kind);
    const auto rule =
        std::find_if(list.begin(), list.end(), [&](const Rule &r) { return strcasecmp(r.key, e.key.c_str()) == 0; });
    if (rule == list.end()) {
        std::string text = "unknown key (nothing reads it)";
        for (const Rule &r : list)
            if (editDistance(e.key, r.key) <= 2) text += "; did you mean " + std::string(r.key) + "?";
        add(false, e, text);
        return;
    }
    if (id.kind == Sec::Node && !nodes_[id.channel].count(id.node))
        add(false, e,
            "node " + std::to_string(id.node) + " is not in [Chan" + std::to_string(id.channel) +
                "] Nodes: nothing reads this section");
    const bool v6 = id.channel >= 0 && v6_[id.channel];
    const std::string key = rule->key;
    if ((key == "DeviceName" || key == "MCCTimeout" || key == "Route" || id.kind == Sec::Dialup) && id.channel >= 0 &&
        !v6)
        add(false, e, "read only by the v6 engine (this channel runs the telegram engine)");
    else if ((key == "PlantNumber" || key == "8250LineSetting") && v6)
        add(false, e, "read only by the telegram engine (this channel runs the v6 engine)");
    else if (key == "Route" && !dialUp_[id.channel])
        add(false, e, "read only on a dial-up channel (DirectConn=0); a direct line routes by node number");
    value(e, id, *rule);
}

void Checker::value(const rt::ProfileEntry &e, const SectionId &, const Rule &rule) {
    std::string why;
    switch (rule.type) {
    case Type::Int: {
        const auto v = strictInt(e.value);
        if (v && *v >= rule.min && *v <= rule.max) return;
        const int32_t driver = myGetPrivateProfileInt(e.section.c_str(), e.key.c_str(), 0, 0);
        add(true, e,
            "must be a whole number from " + std::to_string(rule.min) + " to " + std::to_string(rule.max) +
                rule.meaning + " (the driver would read " + std::to_string(driver) + ")");
        return;
    }
    case Type::Text:
        if (static_cast<long long>(e.value.size()) > rule.max)
            add(false, e,
                "longer than " + std::to_string(rule.max) + " characters: the driver keeps \"" +
                    e.value.substr(0, static_cast<size_t>(rule.max)) + "\"");
        return;
    case Type::Port: {
        rt::PortSettings ignored;
        if (auto error = rt::applyPortKey(rule.key, e.value, &ignored)) add(true, e, *error);
        return;
    }
    case Type::Interval:
        if (!parseInterval(e.value, &why)) add(true, e, why);
        return;
    case Type::Nodes:
    case Type::Items:
        return;  // node lists are checked first; poll items when a poll starts
    }
}

void Checker::nodes(const rt::ProfileEntry &e, const SectionId &id) {
    std::set<long long> &seen = nodes_[id.channel];
    const bool v6 = v6_[id.channel];
    const size_t readable = v6 ? 199 : 999;  // characters the engine reads of the list
    if (e.value.size() > readable)
        add(true, e,
            "the " + std::string(v6 ? "v6" : "telegram") + " engine reads only the first " + std::to_string(readable) +
                " characters of the list");
    size_t count = 0;
    for (size_t i = 0; i < e.value.size();) {
        if (!std::isalnum(static_cast<unsigned char>(e.value[i]))) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < e.value.size() && std::isalnum(static_cast<unsigned char>(e.value[end]))) ++end;
        const std::string run = e.value.substr(i, end - i);
        i = end;
        ++count;
        const auto v = strictInt(run);
        if (!v) {
            add(true, e,
                "'" + run + "' is not a node number (the driver reads it as node " +
                    std::to_string(std::atoi(run.c_str())) + "; a ';' starts a comment only at the start of a line)");
        } else if (*v < 1 || *v > 65535) {
            add(true, e, "node " + run + " is outside 1 to 65535");
        } else if (!seen.insert(*v).second) {
            add(true, e, "node " + run + " is listed twice");
        }
    }
    if (count == 0) add(true, e, "no node numbers in the list");
    if (count > HYDRIX_MAX_NODES)
        add(true, e, std::to_string(count) + " nodes: the driver keeps the first " + std::to_string(HYDRIX_MAX_NODES));
}

}  // namespace

void setServeSectionCheck(SectionCheck check) { g_serveSectionCheck = check; }

std::vector<Finding> checkProfile() { return Checker().run(); }

std::string findingLine(const std::string &source, const Finding &f) {
    // Appended in steps: `":" + std::string` trips g++ 12's -Wrestrict false positive at -O3.
    std::string out = source;
    if (f.line > 0) {
        out += ':';
        out += std::to_string(f.line);
    }
    out += f.error ? ": error: " : ": warning: ";
    out += f.text;
    return out;
}

size_t editDistance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

}  // namespace hydrix::cli
