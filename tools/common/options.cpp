#include "options.h"

namespace hydrix::cli {
namespace {

// Plain storage for the options whose absence matters; finishOptions copies them over.
struct Raw {
    int channel = 0, first = 0, count = 0;
    long long node = 0;
};
Raw raw;

void target(CLI::App *sub) {
    sub->add_option("-c,--channel", raw.channel, "Channel number (0 to 7); needed when the node is on several")
        ->check(CLI::Range(0, 7));
    sub->add_option("-n,--node", raw.node, "Node number; may be left out when the channel has one node");
}

// `lowest` and `highest` bound --first by what the station's list can hold.
void range(CLI::App *sub, const char *firstHelp, int lowest, int highest) {
    sub->add_option("--first", raw.first, firstHelp)->check(CLI::Range(lowest, highest));
    sub->add_option("--count", raw.count, "Number of values (default: all)")->check(CLI::Range(1, 500));
}

const char *kMainFooter = R"(
Without --config the built-in profile runs: channel 0 with the telegram engine for
node 12 and channel 1 with the v6 engine for node 7, each served by a simulated station
on a pseudo-terminal. With --config FILE, each channel's Port key names its device;
--simulate serves channels without one from the simulator instead.

Exit codes: 0 done; 1 a request failed (the error and its meaning are printed);
2 bad command line, profile, node, channel, port or driver library; 130 interrupted
(Ctrl-C: what arrived before it is printed).

Examples:
  hydrix poll                                     live values from the simulated stations
  hydrix picture -n 12 --picture 1                picture 1 of node 12, all values
  hydrix picture -n 7 --first 1 --count 5 --json  v6 engine, values 1 to 5 as JSON
  hydrix --config site.ini setpoints -c 0 -n 12   setpoints of a real station
  hydrix --config site.ini history -n 12 --from "2026-12-01 00:00" --csv > history.csv
  hydrix --config site.ini -v alarms -n 12        with the driver's byte dumps
Run 'hydrix COMMAND --help' for each command's options and examples.)";

}  // namespace

std::unique_ptr<CLI::App> makeParser(Options *o) {
    auto app = std::make_unique<CLI::App>(
        "hydrix: reads and writes pump stations through the HYDRIX driver (libhydrix.so), "
        "one command at a time or polling.",
        "hydrix");
    app->fallthrough();
    app->require_subcommand(1);
    app->add_option("--config", o->config, "INI profile: driver section [Driver], channels [Chan0]..[Chan7]");
    app->add_option("--library", o->library, "The driver library to load")->capture_default_str();
    auto *json = app->add_flag("--json", o->json, "One JSON object per value or record");
    app->add_flag("--csv", o->csv, "Comma-separated values with a header line")->excludes(json);
    app->add_flag("-v,--verbose", o->verbose, "The driver's byte dumps (its Debug key) and trace lines on stderr");
    app->add_option("--trace", o->traceFile, "Write the trace lines (with byte dumps) to this file");
    app->add_flag("--simulate", o->simulate, "Serve channels without a Port key from the station simulator");
    app->add_option("--model", o->model, "Plant model (JSON) of the simulated stations")->check(CLI::ExistingFile);
    app->footer(kMainFooter);

    auto *picture = app->add_subcommand("picture", "Read a picture: all values or a range");
    target(picture);
    picture->add_option("-p,--picture", o->picture, "Picture number (0 to 255)")
        ->capture_default_str()
        ->check(CLI::Range(0, 255));
    range(picture, "First value (telegram engine: from 0; v6 engine: from 1)", 0, 255);
    picture->footer(
        "\nExamples:\n  hydrix picture -n 12 -p 1\n  hydrix picture -n 12 -p 3 --first 2 --count 4 --json\n"
        "  hydrix --config site.ini picture -c 1 -n 21 -p 1 --csv");

    auto *report = app->add_subcommand("report", "Read the daily report");
    target(report);
    range(report, "First value (from 0)", 0, 128);
    report->footer("\nExamples:\n  hydrix report -n 12\n  hydrix report -n 7 --json");

    auto *setpoints = app->add_subcommand("setpoints", "Read the setpoint list");
    target(setpoints);
    range(setpoints, "First setpoint number (1 to 127)", 1, 127);
    setpoints->footer(
        "\nThe telegram engine cannot tell an unlisted setpoint from 0: without --count it reads\n"
        "setpoints 1 to n, n being how many the station lists.\n\nExamples:\n"
        "  hydrix setpoints -n 12\n  hydrix setpoints -n 7 --first 2 --count 3 --json");

    auto *write = app->add_subcommand("write-setpoint", "Write one setpoint and show what the station holds now");
    target(write);
    write->add_option("-s,--setpoint", o->setpoint, "Setpoint number (1 to 127)")
        ->required()
        ->check(CLI::Range(1, 127));
    write->add_option("--value", o->value, "The new value")->required();
    write
        ->add_option("--type", o->type,
                     "v6 engine: the setpoint's type (A, D or 0 to 4 decimals); "
                     "read from the station's list when absent")
        ->check(CLI::IsMember({"A", "D", "0", "1", "2", "3", "4"}));
    write->footer(
        "\nThe station takes a value to its setpoint's decimals (3.14159 to a one-decimal\n"
        "setpoint is sent as 3.1); a value cut so is said on stderr.\n"
        "\nExamples:\n  hydrix write-setpoint -n 12 -s 2 --value 3.5\n"
        "  hydrix write-setpoint -n 7 -s 1 --value 15 --json");

    auto *command = app->add_subcommand("command", "Send a machine (pump) command");
    target(command);
    command->add_option("name", o->commandName, "start (M), stop (F), auto (N), block (B), or the letter itself")
        ->required()
        ->check(CLI::IsMember({"start", "stop", "auto", "block", "M", "F", "N", "B"}));
    command->add_option("-m,--machine", o->machine, "Machine (pump) number")
        ->capture_default_str()
        ->check(CLI::Range(0, 255));
    command->add_option("--item", o->item, "Number that ends the telegram: the picture that shows the machine")
        ->capture_default_str()
        ->check(CLI::Range(0, 255));
    command->footer("\nExamples:\n  hydrix command start -n 12 -m 1\n  hydrix command stop -n 7 -m 2 --json");

    auto *history = app->add_subcommand("history", "Read history from a time until the station has no more");
    target(history);
    history
        ->add_option("--from", o->from,
                     "Start: \"YYYY-MM-DD HH:MM\" local, ...Z for UTC, -6h, -2d, -30m, "
                     "or 0 for the oldest")
        ->capture_default_str();
    history->footer(
        "\nThe station answers the records after the start time: a record stamped exactly\n"
        "at --from is not included (ask from a minute earlier to get it).\n"
        "A progress line goes to stderr while a long read runs on a terminal.\n\nExamples:\n"
        "  hydrix history -n 12 --from -6h\n  hydrix history -n 7 --from \"2026-12-01 00:00\" --csv");

    auto *alarms = app->add_subcommand("alarms", "Fetch and acknowledge alarms until the station has none");
    target(alarms);
    alarms->footer("\nExamples:\n  hydrix alarms -n 12\n  hydrix alarms -n 7 --json");

    auto *poll = app->add_subcommand("poll", "Read items again and again and show them live");
    poll->add_option("items", o->items,
                     "Items: [CHANNEL/]NODE:picture:NUMBER[:FIRST-LAST], "
                     "NODE:report[:FIRST-LAST], NODE:setpoints[:FIRST-LAST]; "
                     "default: Items of the profile's [Poll] section");
    poll->add_option("-i,--interval", o->interval,
                     "Seconds between rounds, 0.1 to 86400 (default: [Poll] Interval, else 2)");
    poll->add_option("--rounds", o->rounds, "Stop after this many rounds (default: until Ctrl-C)")
        ->check(CLI::Range(1L, 1000000000L));
    poll->footer(
        "\nOn a terminal the table is redrawn each round; otherwise each value is one line\n"
        "(or one JSON object / CSV line). Ctrl-C stops cleanly.\n\nExamples:\n"
        "  hydrix poll\n  hydrix poll 12:picture:1:0-4 7:report:0-4 -i 5\n"
        "  hydrix --config site.ini poll 0/12:setpoints:1-8 --json --rounds 10 > log.jsonl");

    auto *serve =
        app->add_subcommand("serve", "Serve the stations' values over Modbus TCP until SIGTERM (the gateway)");
    serve->add_option("--modbus", o->modbus, "Modbus TCP front end ADDRESS:PORT, or off (default: [Serve] Modbus)");
    serve->add_option("--mqtt", o->mqtt, "MQTT broker HOST:PORT (default: [Serve] Mqtt)");
    serve->add_flag("--print-map", o->printMap, "Print the Modbus register map (with --csv or --json) and exit");
    serve->footer(
        "\nReads the items of the profile's [Serve] section at their intervals and serves the\n"
        "latest values from memory. Without --config it serves the simulated stations on\n"
        "127.0.0.1:1502. Alarms and history are fetched only for MQTT (--mqtt or Mqtt=): without\n"
        "it the stations keep them. SIGTERM or Ctrl-C stops it (exit 0); SIGHUP rereads the\n"
        "item list.\n\n"
        "Examples:\n  hydrix serve\n  hydrix serve --print-map --csv > map.csv\n"
        "  hydrix --config site.ini serve --modbus 0.0.0.0:502");

    app->add_subcommand("check",
                        "Check the profile: errors for values the driver would misread, "
                        "warnings for keys nothing reads")
        ->footer(
            "\nEvery command checks the profile first and stops on an error; this command lists\n"
            "every finding with its file, line and key, and exits 2 when there is an error.\n\n"
            "Examples:\n  hydrix --config site.ini check");
    app->add_subcommand("channels", "Show the profile's channels, engines, nodes and ports")
        ->footer("\nExamples:\n  hydrix channels\n  hydrix --config site.ini channels");
    return app;
}

void finishOptions(CLI::App &app, Options *o) {
    for (CLI::App *sub : app.get_subcommands()) {
        o->command = sub->get_name();
        auto given = [&](const char *name) {
            try {
                return sub->get_option(name)->count() > 0;
            } catch (const CLI::OptionNotFound &) {
                return false;
            }
        };
        if (given("--channel")) o->channel = raw.channel;
        if (given("--node")) o->node = raw.node;
        if (given("--first")) o->first = raw.first;
        if (given("--count")) o->count = raw.count;
    }
}

}  // namespace hydrix::cli
