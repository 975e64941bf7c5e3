#include "inputs.h"

#include <cmath>
#include <cstdlib>

namespace hydrix::cli {
namespace {

// The whole text as one number, or nothing ("", "3x", "nan" and "inf" are not numbers here).
std::optional<double> wholeNumber(const std::string &text) {
    if (text.empty()) return std::nullopt;
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace

std::optional<double> parseSetpointValue(const std::string &text, std::string *error) {
    auto v = wholeNumber(text);
    if (!v || std::fabs(*v) > 2147483647.0) {
        *error = "--value \"" + text + "\": a setpoint takes a finite number from -2147483647 to 2147483647";
        return std::nullopt;
    }
    return v;
}

std::optional<double> parseInterval(const std::string &text, std::string *error) {
    auto v = wholeNumber(text);
    if (!v || *v < 0.1 || *v > 86400) {
        *error = "interval \"" + text + "\": give the seconds between rounds, from 0.1 to 86400";
        return std::nullopt;
    }
    return v;
}

}  // namespace hydrix::cli
