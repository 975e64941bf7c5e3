// One value or record that a command produced, as every output format prints it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cause.h"
#include "errors.h"
#include "host/hydrix_host.h"

namespace hydrix::cli {

using Value = std::variant<std::monostate, double, long long, std::string>;

struct Record {
    int channel = 0;
    uint32_t node = 0;
    std::string item;                // "picture 1", "report", "setpoint", "history", "alarm"
    std::optional<long long> index;  // value number, setpoint number, alarm code, ...
    Value value;
    OrvelTime time = 0;                // the driver's stamp, or when the value arrived
    Cause cause = Cause::None;         // why it failed; None: it did not
    std::optional<ErrorTriple> error;  // the driver's triple, when it gave one
    std::string errorText;             // the failure in words, made with the cause (never read back)
    bool interrupted = false;          // Ctrl-C ended the request: not a result to print
    std::vector<std::string> notes;    // for the user, on stderr: what happened on the way
    std::string alarmLine;             // alarms the tool read itself: the station's fields, whole
    bool failed() const { return cause != Cause::None; }
};

using Records = std::vector<Record>;

}  // namespace hydrix::cli
