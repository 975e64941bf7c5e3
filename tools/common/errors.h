// What an error triple of the driver means, in words an engineer can act on.
#pragma once
#include <cstdint>
#include <string>

namespace hydrix::cli {

enum class Engine { Telegram, V6 };

struct ErrorTriple {
    uint32_t group = 0, code = 0, sub = 0;
    bool failed() const { return group != 0 || code != 0; }
};

// "no reply within 5 s", "block check mismatch", ...
std::string describeError(Engine engine, const ErrorTriple &e);

// Exit codes of the program.
enum ExitCode {
    EXIT_OK = 0,
    EXIT_REQUEST_FAILED = 1,  // the station or the line did not deliver
    EXIT_SETUP = 2,           // bad command line, profile, node, channel, port or library
    EXIT_INTERRUPTED = 130,   // Ctrl-C (SIGINT) or SIGTERM ended a one-shot command
};

}  // namespace hydrix::cli
