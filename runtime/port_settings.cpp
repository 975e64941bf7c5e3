// The port keys of a channel's profile section, read into the line settings the port is
// opened with. The same keys serve every system: Port names a tty device (/dev/ttyUSB0)
// on Linux and a COM port (COM5) on Windows.
#include <cctype>

#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

bool sameWord(const std::string &text, const char *word) {
    size_t i = 0;
    for (; i < text.size() && word[i] != '\0'; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
    return i == text.size() && word[i] == '\0';
}

std::optional<std::string> parseParity(const std::string &text, uint8_t *parity) {
    static const char *names[] = {"none", "odd", "even", "mark", "space"};
    for (uint8_t i = 0; i < 5; ++i) {
        if (sameWord(text, names[i]) ||
            (text.size() == 1 && std::tolower(static_cast<unsigned char>(text[0])) == names[i][0])) {
            *parity = i;
            return std::nullopt;
        }
    }
    return "Parity must be none, odd, even, mark or space, not '" + text + "'";
}

}  // namespace

std::optional<std::string> applyPortKey(const std::string &key, const std::string &value, PortSettings *settings) {
    detail::LineFields f = detail::lineFields(settings->line);
    if (key == "Port") {
        settings->device = value;
        return std::nullopt;
    }
    if (key == "Baudrate") {
        int32_t rate = detail::parseProfileInt(value);
        if (rate <= 0 || !detail::supportedBaudRate(static_cast<uint32_t>(rate)))
            return "Baudrate " + value + " is not a supported speed";
        f.baudRate = static_cast<uint32_t>(rate);
    } else if (key == "DataBits") {
        int32_t n = detail::parseProfileInt(value);
        if (n < 5 || n > 8) return "DataBits must be 5 to 8, not " + value;
        f.byteSize = static_cast<uint8_t>(n);
    } else if (key == "Parity") {
        if (auto error = parseParity(value, &f.parity)) return error;
    } else if (key == "StopBits") {
        if (value == "1")
            f.stopBits = 0;
        else if (value == "1.5")
            f.stopBits = 1;
        else if (value == "2")
            f.stopBits = 2;
        else
            return "StopBits must be 1, 1.5 or 2, not " + value;
    } else {
        return std::nullopt;
    }
    detail::setLineFields(&settings->line, f);
    return std::nullopt;
}

std::optional<std::string> portSettingsFromProfile(const std::string &section, PortSettings *out) {
    PortSettings settings;
    settings.line = detail::defaultLine();
    for (const char *key : kPortKeys) {
        auto value = profileValue(section, key);
        if (!value || (value->empty() && std::string(key) != "Port")) continue;
        if (auto error = applyPortKey(key, *value, &settings)) return "[" + section + "] " + *error;
    }
    *out = std::move(settings);
    return std::nullopt;
}

}  // namespace hydrix::rt
