// The profile: an INI file read by our own small parser, because values must reach the
// driver byte for byte as written. A ';' or '#' starts a comment only at the start of a
// line, never inside a value ("Nodes=3, 7;12" is the text "3, 7;12"), and lines have no
// length limit (a node list can run to a thousand characters).
//
// Syntax: "[section]" lines, "key=value" lines, blank lines and comment lines. Blanks
// around section names, keys and values are dropped; a value wrapped in a pair of double
// or single quotes loses the quotes. Section names and keys compare without regard to
// case. When a key appears twice in a section, the first value counts; sections of the
// same name are merged.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <sstream>

#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

std::string trim(const std::string &text) {
    const char *blanks = " \t\r\f\v";
    size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(blanks);
    return text.substr(begin, end - begin + 1);
}

struct Section {
    std::string name;                           // as first written
    std::map<std::string, std::string> values;  // lower-case key -> value
};

struct Profile {
    std::map<std::string, Section> sections;  // lower-case name -> section
    std::vector<std::string> order;           // lower-case names in file order
    std::vector<ProfileEntry> entries;        // every key line, in file order
    std::string source;
};

struct ProfileStore {
    std::shared_mutex mutex;
    Profile profile;
};

ProfileStore &store() {
    static ProfileStore s;
    return s;
}

std::optional<ProfileError> parse(const std::string &text, const std::string &name, Profile *out) {
    Profile profile;
    Section *current = nullptr;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    auto fail = [&](const std::string &message) { return ProfileError{name, lineNo, message}; };
    while (std::getline(in, raw)) {
        ++lineNo;
        if (lineNo == 1 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
        std::string line = trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) return fail("section header without ']'");
            std::string rest = trim(line.substr(close + 1));
            if (!rest.empty() && rest[0] != ';' && rest[0] != '#')
                return fail("text after the section header: " + rest);
            std::string sectionName = trim(line.substr(1, close - 1));
            if (sectionName.empty()) return fail("empty section name");
            std::string key = lower(sectionName);
            auto [it, added] = profile.sections.try_emplace(key);
            if (added) {
                it->second.name = sectionName;
                profile.order.push_back(key);
            }
            current = &it->second;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) return fail("expected key=value or [section]: " + line);
        std::string key = trim(line.substr(0, eq));
        if (key.empty()) return fail("empty key");
        if (!current) return fail("key '" + key + "' before the first [section]");
        std::string value = trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        const bool added = current->values.try_emplace(lower(key), value).second;
        profile.entries.push_back(ProfileEntry{current->name, key, value, lineNo, !added});
    }
    profile.source = name;
    *out = std::move(profile);
    return std::nullopt;
}

// Leading decimal digits with an optional sign, or "0x" and hex digits; wraps modulo 2^32
// like the 32-bit original. Text without digits gives 0.
int32_t parseInt(const std::string &text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    uint32_t value = 0;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        for (i += 2; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
            char ch = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
            value = value * 16u + static_cast<uint32_t>(ch <= '9' ? ch - '0' : ch - 'a' + 10);
        }
    } else {
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
            value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    }
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
}

}  // namespace

std::string ProfileError::what() const {
    if (line > 0) return file + ":" + std::to_string(line) + ": " + message;
    return file + ": " + message;
}

std::optional<ProfileError> loadProfileText(const std::string &text, const std::string &name) {
    Profile parsed;
    if (auto error = parse(text, name, &parsed)) return error;
    ProfileStore &s = store();
    std::unique_lock lock(s.mutex);
    s.profile = std::move(parsed);
    return std::nullopt;
}

std::optional<ProfileError> loadProfile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return ProfileError{path, 0, std::string("cannot open: ") + std::strerror(errno)};
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) return ProfileError{path, 0, "read error"};
    return loadProfileText(text.str(), path);
}

std::optional<std::string> profileValue(const std::string &section, const std::string &key) {
    ProfileStore &s = store();
    std::shared_lock lock(s.mutex);
    auto sec = s.profile.sections.find(lower(section));
    if (sec == s.profile.sections.end()) return std::nullopt;
    auto val = sec->second.values.find(lower(key));
    if (val == sec->second.values.end()) return std::nullopt;
    return val->second;
}

std::vector<std::string> profileSections() {
    ProfileStore &s = store();
    std::shared_lock lock(s.mutex);
    std::vector<std::string> names;
    for (const std::string &key : s.profile.order) names.push_back(s.profile.sections.at(key).name);
    return names;
}

std::vector<ProfileEntry> profileEntries() {
    ProfileStore &s = store();
    std::shared_lock lock(s.mutex);
    return s.profile.entries;
}

std::string profileSource() {
    ProfileStore &s = store();
    std::shared_lock lock(s.mutex);
    return s.profile.source;
}

namespace detail {
int32_t parseProfileInt(const std::string &text) { return parseInt(text); }
}  // namespace detail

}  // namespace hydrix::rt

extern "C" int32_t HYDRIX_CALL myGetPrivateProfileInt(const char *section, const char *key, int32_t defaultValue,
                                                      int32_t) {
    if (!section || !key) return defaultValue;
    auto value = hydrix::rt::profileValue(section, key);
    if (!value || value->empty()) return defaultValue;
    return hydrix::rt::parseInt(*value);
}

extern "C" int32_t HYDRIX_CALL myGetPrivateProfileString(const char *section, const char *key, const char *defaultText,
                                                         char *buffer, uint32_t bufferSize, int32_t) {
    if (!buffer || bufferSize == 0) return 0;
    std::optional<std::string> value;
    if (section && key) value = hydrix::rt::profileValue(section, key);
    const std::string text = value ? *value : std::string(defaultText ? defaultText : "");
    size_t n = std::min<size_t>(text.size(), bufferSize - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<int32_t>(n);
}
