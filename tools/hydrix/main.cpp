// hydrix: the command-line host of the HYDRIX driver. Loads libhydrix.so through its
// public entry points, serves it with the host runtime, and reads or writes one node per
// command, or polls a list of items. `hydrix serve` runs the gateway, hydrix-serve.
#include <unistd.h>

#include <cstdio>
#include <set>

#include "host.h"
#include "inputs.h"
#include "options.h"
#include "output.h"
#include "poll.h"
#include "query.h"
#include "gateway.h"
#include "times.h"

namespace cli = hydrix::cli;

namespace {

int fail(const std::string &message, int code) {
    std::fprintf(stderr, "hydrix: %s\n", message.c_str());
    return code;
}

int listChannels(const cli::Config &config) {
    std::printf("profile %s\n", config.source.c_str());
    for (const cli::ChannelConfig &c : config.channels) {
        std::string nodes;
        for (size_t i = 0; i < c.nodes.size(); ++i)
            nodes += (nodes.empty() ? "" : ", ") + std::to_string(c.nodes[i]) + " = " + cli::addressText(c, i);
        std::printf("channel %d [%s]: %s engine, nodes %s, retries %d, port %s\n", c.number, c.section.c_str(),
                    c.engine == cli::Engine::Telegram ? "telegram" : "v6", nodes.c_str(), c.retries,
                    c.port.device.empty() ? (config.embedded ? "simulated station" : "none (no Port key)")
                                          : c.port.device.c_str());
    }
    return cli::EXIT_OK;
}

// hydrix check: every finding of the profile, each node whose address is defaulted, and
// a summary; exit 2 when the driver would misread something.
int checkCommand(const std::string &path) {
    std::vector<cli::Finding> findings;
    std::string error;
    auto config = cli::loadConfig(path, false, &error, &findings, true);
    const std::string source = path.empty() ? "<built-in>" : path;
    int errors = 0, warnings = 0;
    for (const cli::Finding &f : findings) {
        std::printf("%s\n", cli::findingLine(source, f).c_str());
        (f.error ? errors : warnings) += 1;
    }
    if (!config && errors == 0) {  // what the check did not already say
        std::printf("%s\n", error.rfind(source, 0) == 0 ? error.c_str() : (source + ": " + error).c_str());
        ++errors;
    } else if (config) {
        for (const cli::ChannelConfig &c : config->channels)
            for (uint32_t node : c.nodes)
                if (auto note = cli::defaultedAddressNote(c, node))
                    std::printf("%s: %s\n", source.c_str(), note->c_str());
    }
    std::printf("%s: %d error%s, %d warning%s\n", source.c_str(), errors, errors == 1 ? "" : "s", warnings,
                warnings == 1 ? "" : "s");
    return errors > 0 ? cli::EXIT_SETUP : cli::EXIT_OK;
}

// Fills the query of a one-shot command; false with *error for bad values.
bool makeQuery(const cli::Options &o, const cli::Config &config, cli::Query *q, std::string *error) {
    const std::string &c = o.command;
    q->what = c == "picture"          ? cli::What::Picture
              : c == "report"         ? cli::What::Report
              : c == "setpoints"      ? cli::What::Setpoints
              : c == "write-setpoint" ? cli::What::WriteSetpoint
              : c == "command"        ? cli::What::Command
              : c == "history"        ? cli::What::History
                                      : cli::What::Alarms;
    auto target = cli::findTarget(config, o.channel, o.node, error);
    if (!target) return false;
    q->target = *target;
    q->picture = o.picture;
    q->first = o.first;
    q->count = o.count;
    if (q->what == cli::What::Picture && q->first == 0 &&
        config.channel(q->target.channel)->engine == cli::Engine::V6) {
        *error = "--first 0: the v6 engine numbers a picture's values from 1";
        return false;
    }
    if (q->what == cli::What::Setpoints && q->first && q->count && *q->first + *q->count - 1 > 127) {
        *error = "setpoints: the list ends at setpoint 127 (--first " + std::to_string(*q->first) + " --count " +
                 std::to_string(*q->count) + " goes past it)";
        return false;
    }
    q->setpoint = o.setpoint;
    if (q->what == cli::What::WriteSetpoint) {
        auto value = cli::parseSetpointValue(o.value, error);
        if (!value) return false;
        q->value = *value;
        q->valueText = o.value;
    }
    if (!o.type.empty()) {
        if (config.channel(q->target.channel)->engine == cli::Engine::Telegram) {
            *error =
                "--type: the telegram engine takes each setpoint's type from the station's list; "
                "leave --type out on channel " +
                std::to_string(q->target.channel);
            return false;
        }
        q->setpointType = o.type[0];
    }
    const std::string &n = o.commandName;
    q->letter = n == "start"   ? 'M'
                : n == "stop"  ? 'F'
                : n == "auto"  ? 'N'
                : n == "block" ? 'B'
                : n.empty()    ? 'M'
                               : n[0];
    q->machine = o.machine;
    q->item = o.item;
    if (q->what == cli::What::History) {
        auto from = cli::parseStartTime(o.from);
        if (!from) {
            *error = "--from \"" + o.from +
                     "\": write a date from 2000 on as \"YYYY-MM-DD HH:MM\", "
                     "...Z for UTC, -6h, -2d, -30m or 0";
            return false;
        }
        q->from = *from;
    }
    return true;
}

// History progress on a terminal: one line, rewritten.
cli::Progress historyProgress() {
    if (!isatty(STDERR_FILENO)) return {};
    return [](long records, OrvelTime reached) {
        std::fprintf(stderr, "\rhistory: %ld records, up to %s (local)   ", records, cli::localText(reached).c_str());
        std::fflush(stderr);
    };
}

}  // namespace

int main(int argc, char **argv) {
    cli::Options o;
    o.library = cli::defaultDriverLibrary();
    auto app = cli::makeParser(&o);
    if (argc < 2) {
        std::fputs(app->help().c_str(), stderr);
        return cli::EXIT_SETUP;
    }
    try {
        app->parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) return app->exit(e) == 0 ? cli::EXIT_OK : cli::EXIT_SETUP;  // --help
        return fail(std::string(e.what()) + " (see hydrix --help)", cli::EXIT_SETUP);
    }
    cli::finishOptions(*app, &o);
    // The gateway is a program of its own, with the libraries the other commands do not need.
    if (o.command == "serve") return runGateway(argv);
    checkGatewaySection();
    const cli::Format format = o.json ? cli::Format::Json : o.csv ? cli::Format::Csv : cli::Format::Table;

    std::string error;
    if (o.command == "check") return checkCommand(o.config);
    std::vector<cli::Finding> warnings;
    auto config = cli::loadConfig(o.config, o.verbose || !o.traceFile.empty(), &error, &warnings);
    if (!config) return fail(error, cli::EXIT_SETUP);
    for (const cli::Finding &w : warnings)
        std::fprintf(stderr, "hydrix: %s\n", cli::findingLine(config->source, w).c_str());
    if (o.command == "channels") return listChannels(*config);
    std::vector<cli::Query> queries;
    if (o.command == "poll") {
        const std::vector<std::string> &items = o.items.empty() ? config->pollItems : o.items;
        if (items.empty())
            return fail("poll: no items (give them, or Items= in the profile's [Poll] section)", cli::EXIT_SETUP);
        for (const std::string &item : items) {
            auto q = cli::parsePollItem(item, *config, &error);
            if (!q) return fail(error, cli::EXIT_SETUP);
            queries.push_back(*q);
        }
    } else {
        cli::Query q;
        if (!makeQuery(o, *config, &q, &error)) return fail(error, cli::EXIT_SETUP);
        queries.push_back(q);
    }

    std::set<int> channels;
    for (const cli::Query &q : queries) {
        channels.insert(q.target.channel);
        if (auto note = cli::defaultedAddressNote(*config->channel(q.target.channel), q.target.node))
            std::fprintf(stderr, "hydrix: %s\n", note->c_str());
    }
    cli::HostOptions hostOptions;
    hostOptions.library = o.library;
    hostOptions.simulate = o.simulate || config->embedded;
    hostOptions.model = o.model;
    hostOptions.verbose = o.verbose;
    hostOptions.traceFile = o.traceFile;
    cli::installSignalHandlers();
    cli::Host host;
    if (!host.start(*config, std::vector<int>(channels.begin(), channels.end()), hostOptions, &error))
        return fail(error, cli::EXIT_SETUP);

    if (o.command == "poll") {
        cli::PollOptions p;
        p.interval = config->pollInterval > 0 ? config->pollInterval : 2;
        if (!o.interval.empty()) {
            auto interval = cli::parseInterval(o.interval, &error);
            if (!interval) return fail("poll: " + error, cli::EXIT_SETUP);
            p.interval = *interval;
        }
        p.rounds = o.rounds;
        p.format = format;
        p.live = format == cli::Format::Table && isatty(STDOUT_FILENO);
        const int code = cli::runPoll(host, *config, queries, p);
        host.stop();
        return code;
    }

    const cli::Query &q = queries.front();
    const bool progress = q.what == cli::What::History;
    cli::Records records =
        cli::runQuery(host, *config->channel(q.target.channel), q, progress ? historyProgress() : cli::Progress{});
    if (progress && isatty(STDERR_FILENO)) std::fprintf(stderr, "\r\x1b[K");
    host.stop();

    // An interrupted command prints what arrived before Ctrl-C, cleanly, and says so on
    // stderr; the interruption is no row of the output.
    const bool interrupted =
        std::erase_if(records, [](const cli::Record &r) { return r.interrupted; }) > 0 || cli::stopRequested.load();
    cli::Records values, failures;
    for (const cli::Record &r : records) (r.failed() ? failures : values).push_back(r);
    if (format != cli::Format::Table) {
        cli::printRecords(stdout, format, records);
    } else if (!values.empty()) {
        cli::printRecords(stdout, format, values);
    } else if (failures.empty() && !interrupted) {
        // Nothing on stdout: a script sees an empty result, a person the note.
        std::fprintf(stderr, "hydrix: %s: nothing (the station has none)\n", cli::itemName(q).c_str());
    }
    for (const cli::Record &r : records)
        for (const std::string &note : r.notes) std::fprintf(stderr, "hydrix: note: %s\n", note.c_str());
    for (const cli::Record &r : failures)
        std::fprintf(stderr, "hydrix: channel %d node %u %s: %s\n", r.channel, r.node, r.item.c_str(),
                     cli::errorField(r).c_str());
    if (interrupted) {
        std::fprintf(stderr, "hydrix: interrupted: %s stopped after %zu value(s)\n", cli::itemName(q).c_str(),
                     values.size());
        return cli::EXIT_INTERRUPTED;
    }
    return failures.empty() ? cli::EXIT_OK : cli::EXIT_REQUEST_FAILED;
}
