// Checks of the numbers people type, made before anything is sent to a station. Each
// returns nothing and sets *error to one sentence naming the value when it is refused.
#pragma once
#include <optional>
#include <string>

namespace hydrix::cli {

// Values a setpoint can be written with: finite, and within what a whole-number setpoint
// (the widest form on the wire) can carry.
std::optional<double> parseSetpointValue(const std::string &text, std::string *error);
// Seconds between poll rounds: 0.1 s to one day.
std::optional<double> parseInterval(const std::string &text, std::string *error);
// The most values one read may ask for (a value area of 2048 bytes).
constexpr int kMaxValuesPerRead = 500;

}  // namespace hydrix::cli
