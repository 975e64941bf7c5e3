#include "poll.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "inputs.h"
#include "times.h"

namespace hydrix::cli {
namespace {

bool parseRange(const std::string &text, Query *q) {
    int first = 0, last = 0, used = 0;
    if (std::sscanf(text.c_str(), "%d-%d%n", &first, &last, &used) == 2 && static_cast<size_t>(used) == text.size() &&
        first >= 0 && last >= first && last - first < kMaxValuesPerRead) {
        q->first = first;
        q->count = last - first + 1;
        return true;
    }
    if (std::sscanf(text.c_str(), "%d%n", &first, &used) == 1 && static_cast<size_t>(used) == text.size() &&
        first >= 0) {
        q->first = first;
        q->count = 1;
        return true;
    }
    return false;
}

std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(sep, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

std::string plainLine(const Record &r) {
    std::string line =
        isoUtc(r.time) + " channel " + std::to_string(r.channel) + " node " + std::to_string(r.node) + " " + r.item;
    if (r.index) {  // in steps: `"[" + std::string` trips g++ 12's -Wrestrict at -O3
        line += '[';
        line += std::to_string(*r.index);
        line += ']';
    }
    if (r.failed()) return line + " ERROR " + errorField(r);
    if (std::holds_alternative<std::monostate>(r.value) && !r.notes.empty())  // no value: say why
        return line + " = - (" + r.notes.front() + ")";
    return line + " = " + valueText(r.value);
}

}  // namespace

std::optional<Query> parsePollItem(const std::string &text, const Config &config, std::string *error) {
    const std::string usage = "bad item '" + text +
                              "': write NODE:picture:NUMBER[:FIRST-LAST], "
                              "NODE:report[:FIRST-LAST] or NODE:setpoints[:FIRST-LAST] "
                              "(at most 500 values), with CHANNEL/ in front when needed";
    std::string rest = text;
    std::optional<int> channel;
    if (const size_t slash = rest.find('/'); slash != std::string::npos) {
        int c = 0, used = 0;
        if (std::sscanf(rest.c_str(), "%d%n", &c, &used) != 1 || static_cast<size_t>(used) != slash) {
            *error = usage;
            return std::nullopt;
        }
        channel = c;
        rest = rest.substr(slash + 1);
    }
    const auto parts = split(rest, ':');
    long long node = 0;
    int used = 0;
    if (parts.size() < 2 || std::sscanf(parts[0].c_str(), "%lld%n", &node, &used) != 1 ||
        static_cast<size_t>(used) != parts[0].size()) {
        *error = usage;
        return std::nullopt;
    }
    Query q;
    size_t next = 2;
    if (parts[1] == "picture") {
        int number = 0;
        if (parts.size() < 3 || std::sscanf(parts[2].c_str(), "%d%n", &number, &used) != 1 ||
            static_cast<size_t>(used) != parts[2].size() || number < 0 || number > 255) {
            *error = usage;
            return std::nullopt;
        }
        q.what = What::Picture;
        q.picture = number;
        next = 3;
    } else if (parts[1] == "report") {
        q.what = What::Report;
    } else if (parts[1] == "setpoints") {
        q.what = What::Setpoints;
    } else {
        *error = usage;
        return std::nullopt;
    }
    if (parts.size() > next + 1 || (parts.size() == next + 1 && !parseRange(parts[next], &q))) {
        *error = usage;
        return std::nullopt;
    }
    auto target = findTarget(config, channel, node, error);
    if (!target) {
        *error = "item '" + text + "': " + *error;
        return std::nullopt;
    }
    q.target = *target;
    return q;
}

int runPoll(Host &host, const Config &config, const std::vector<Query> &items, const PollOptions &options) {
    using Clock = std::chrono::steady_clock;
    std::vector<long> ok(items.size()), failed(items.size());
    bool lastRoundFailed = false;
    bool csvHeader = true;
    for (long round = 1; options.rounds == 0 || round <= options.rounds; ++round) {
        const auto started = Clock::now();
        Records all;
        lastRoundFailed = false;
        for (size_t i = 0; i < items.size() && !stopRequested.load(); ++i) {
            Records got = runQuery(host, *config.channel(items[i].target.channel), items[i], {});
            bool bad = false;
            for (const Record &r : got) bad = bad || r.failed();
            ++(bad ? failed[i] : ok[i]);
            lastRoundFailed = lastRoundFailed || bad;
            if (!options.live) {  // one line per value as it comes
                if (options.format == Format::Table)
                    for (const Record &r : got) std::printf("%s\n", plainLine(r).c_str());
                else
                    printRecords(stdout, options.format, got, csvHeader);
                csvHeader = false;
                std::fflush(stdout);
            }
            all.insert(all.end(), got.begin(), got.end());
        }
        if (stopRequested.load()) break;
        if (options.live) {
            std::string screen = "\x1b[H\x1b[2J";
            screen += "hydrix poll - " + config.source + " - round " + std::to_string(round) + ", every " +
                      valueText(options.interval) + " s - Ctrl-C stops\n\n" + table(all) + "\n";
            for (size_t i = 0; i < items.size(); ++i)
                screen += "channel " + std::to_string(items[i].target.channel) + " node " +
                          std::to_string(items[i].target.node) + " " + itemName(items[i]) + ": " +
                          std::to_string(ok[i]) + " read, " + std::to_string(failed[i]) + " failed\n";
            std::fputs(screen.c_str(), stdout);
            std::fflush(stdout);
        }
        if (options.rounds != 0 && round == options.rounds) break;
        const auto next = started + std::chrono::milliseconds(static_cast<long>(options.interval * 1000));
        while (Clock::now() < next && !stopRequested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (stopRequested.load()) break;
    }
    return lastRoundFailed && !stopRequested.load() ? EXIT_REQUEST_FAILED : EXIT_OK;
}

}  // namespace hydrix::cli
