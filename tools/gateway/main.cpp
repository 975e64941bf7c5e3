// hydrix-serve: the gateway. Takes the command line of `hydrix ... serve ...` (which runs
// it): the global options, then "serve" and its own.
#include <cstdio>

#include "check.h"
#include "config.h"
#include "host.h"
#include "options.h"
#include "serve.h"
#include "serve_config.h"

namespace cli = hydrix::cli;

namespace {

int fail(const std::string &message) {
    std::fprintf(stderr, "hydrix: %s\n", message.c_str());
    return cli::EXIT_SETUP;
}

}  // namespace

int main(int argc, char **argv) {
    cli::Options o;
    o.library = cli::defaultDriverLibrary();
    auto app = cli::makeParser(&o);
    try {
        app->parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) return app->exit(e) == 0 ? cli::EXIT_OK : cli::EXIT_SETUP;  // --help
        return fail(std::string(e.what()) + " (see hydrix --help)");
    }
    cli::finishOptions(*app, &o);
    if (o.command != "serve") return fail("hydrix-serve runs the gateway only: hydrix [OPTIONS] serve [OPTIONS]");
    cli::setServeSectionCheck(hydrix::serve::checkServeSection);
    std::string error;
    std::vector<cli::Finding> warnings;
    auto config = cli::loadConfig(o.config, o.verbose || !o.traceFile.empty(), &error, &warnings);
    if (!config) return fail(error);
    for (const cli::Finding &w : warnings)
        std::fprintf(stderr, "hydrix: %s\n", cli::findingLine(config->source, w).c_str());
    hydrix::serve::ServeOptions s;
    s.configPath = o.config;
    s.modbus = o.modbus;
    s.mqtt = o.mqtt;
    s.printMap = o.printMap;
    s.format = o.json ? cli::Format::Json : o.csv ? cli::Format::Csv : cli::Format::Table;
    s.host = {o.library, o.simulate || config->embedded, o.model, o.verbose, o.traceFile};
    return hydrix::serve::serveCommand(*config, s);
}
