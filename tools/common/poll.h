// Polling: reads a list of items again and again at an interval and shows them, as a
// live table on a terminal or one line per value otherwise, until Ctrl-C.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "output.h"
#include "query.h"

namespace hydrix::cli {

// An item: "[CHANNEL/]NODE:picture:NUMBER[:FIRST-LAST]", "[CHANNEL/]NODE:report[:FIRST-LAST]"
// or "[CHANNEL/]NODE:setpoints[:FIRST-LAST]".
std::optional<Query> parsePollItem(const std::string &text, const Config &config, std::string *error);

struct PollOptions {
    double interval = 2;  // seconds from the start of one round to the next
    long rounds = 0;      // 0: until Ctrl-C
    Format format = Format::Table;
    bool live = false;  // redraw a table on the terminal
};

// Returns the exit code: 0, or 1 when the last round had a failed read.
int runPoll(Host &host, const Config &config, const std::vector<Query> &items, const PollOptions &options);

}  // namespace hydrix::cli
