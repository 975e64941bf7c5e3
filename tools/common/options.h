// The command line: global options, the subcommands and their help with examples.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace hydrix::cli {

struct Options {
    std::string config;
    std::string library;
    std::string traceFile;
    std::string model;
    bool json = false, csv = false, verbose = false, simulate = false;

    std::string command;  // the subcommand given
    std::optional<int> channel;
    std::optional<long long> node;
    int picture = 1;
    std::optional<int> first, count;
    int setpoint = 0;
    std::string value;  // checked before use: a typo must never reach a pump
    std::string type;
    std::string commandName;
    int machine = 1, item = 1;
    std::string from = "-24h";
    std::vector<std::string> items;
    std::string interval;  // checked before use
    long rounds = 0;
    std::string modbus, mqtt;  // serve: front ends given on the command line
    bool printMap = false;     // serve: print the register map and exit
};

// Builds the parser; the options land in *options when it has parsed.
std::unique_ptr<CLI::App> makeParser(Options *options);
// Copies the optional values that CLI11 keeps in plain variables (call after parsing).
void finishOptions(CLI::App &app, Options *options);

}  // namespace hydrix::cli
