#include "frames.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "times.h"

namespace hydrix::cli {
namespace {

constexpr uint8_t SOH = 1, STX = 2, CR = 13, DC3 = 19;

// The whole word as a decimal number within [low, high], or nothing.
std::optional<long long> number(const std::string &word, long long low, long long high) {
    if (word.empty() || word.size() > 19) return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(word.c_str(), &end, 10);
    if (errno != 0 || end != word.c_str() + word.size() || v < low || v > high) return std::nullopt;
    return v;
}

}  // namespace

void FrameAssembler::add(const uint8_t *bytes, size_t count, std::vector<std::string> *frames) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        if (b == DC3) continue;
        if (b == SOH || b == STX) {
            frame_.assign(1, static_cast<char>(b));
            inFrame_ = true;
        } else if (!inFrame_) {
            continue;
        } else if (b == CR) {
            frames->push_back(frame_);
            frame_.clear();
            inFrame_ = false;
        } else if (frame_.size() >= kLongest) {
            frame_.clear();
            inFrame_ = false;
        } else {
            frame_ += static_cast<char>(b);
        }
    }
}

std::vector<std::string> frameWords(const std::string &frame) {
    std::vector<std::string> words;
    size_t i = frame.empty() ? 0 : 1;
    while (i < frame.size()) {
        while (i < frame.size() && frame[i] == ' ') ++i;
        if (i >= frame.size() || frame[i] == '#') break;
        const size_t end = frame.find(' ', i);
        words.push_back(frame.substr(i, end == std::string::npos ? std::string::npos : end - i));
        i = end;
    }
    return words;
}

bool frameIs(const std::string &frame, const std::string &word) {
    const auto words = frameWords(frame);
    return !words.empty() && words.front() == word;
}

bool frameCheckMatches(const std::string &frame) {
    const size_t hash = frame.find('#');
    if (hash == std::string::npos || hash < 2) return false;
    uint32_t sum = 0;
    for (size_t i = 1; i < hash; ++i) sum += static_cast<uint8_t>(frame[i]);
    sum %= 65536;
    if (sum >= 32768) sum = 65536 - sum;
    // The check stands after "#" and a blank, ended by a blank (or the end of the frame).
    size_t start = hash + 1;
    while (start < frame.size() && frame[start] == ' ') ++start;
    const size_t end = frame.find(' ', start);
    const auto received =
        number(frame.substr(start, end == std::string::npos ? std::string::npos : end - start), 0, 65535);
    return received && static_cast<uint32_t>(*received) == sum;
}

std::optional<AlarmLine> parseAlarmLine(const std::string &frame) {
    const auto words = frameWords(frame);
    if (words.empty() || words[0] != "ALR" || words.size() < 9) return std::nullopt;
    const std::vector<std::string> f(words.begin() + 1, words.end());
    AlarmLine a;
    a.fields = f.size();
    for (const std::string &w : f) a.words += (a.words.empty() ? "" : " ") + w;
    const auto code = number(f[1], -0x7FFFFFFFLL - 1, 0x7FFFFFFFLL);
    if (!code) return std::nullopt;
    a.code = *code;
    a.active = !f[7].empty() && f[7][0] == 'A';
    const auto year = number(f[2], 0, 99), month = number(f[3], 1, 12), day = number(f[4], 1, 31),
               hour = number(f[5], 0, 23), minute = number(f[6], 0, 59);
    std::optional<long long> second = 0LL;
    if (f.size() == 15) second = number(f[14], 0, 59);
    if (year && month && day && hour && minute && second) {
        struct tm tm {};
        tm.tm_year = static_cast<int>(*year) + 100;
        tm.tm_mon = static_cast<int>(*month) - 1;
        tm.tm_mday = static_cast<int>(*day);
        tm.tm_hour = static_cast<int>(*hour);
        tm.tm_min = static_cast<int>(*minute);
        tm.tm_sec = static_cast<int>(*second);
        a.time = fromLocal(tm);
    }
    return a;
}

std::optional<SetpointWriteSent> lastSetpointWrite(const std::vector<std::string> &sent) {
    for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
        const auto words = frameWords(*it);
        // Station, "MCC", then at least the six time fields, setpoint, kind and value.
        if (words.size() < 11 || words[1] != "MCC") continue;
        const size_t n = words.size();
        const auto setpoint = number(words[n - 3], 0, 0x7FFFFFFF);
        if (!setpoint) continue;
        return SetpointWriteSent{static_cast<long>(*setpoint), words[n - 2], words[n - 1]};
    }
    return std::nullopt;
}

namespace {

// The entries of one list frame; nothing when the frame does not open with a setpoint
// number. Stops at "#", at the end of the frame, or at an entry cut short.
std::optional<std::vector<ListedSetpoint>> setpointEntries(const std::string &frame) {
    if (frame.empty() || static_cast<uint8_t>(frame[0]) != STX) return std::nullopt;
    const size_t end = std::min(frame.find('#'), frame.size());
    std::vector<ListedSetpoint> out;
    size_t i = 1;
    auto wordEnd = [&](size_t from) {
        const size_t blank = frame.find(' ', from);
        return std::min(blank == std::string::npos ? end : blank, end);
    };
    while (true) {
        if (i < end && frame[i] == ' ') ++i;  // at most one leading blank
        if (i >= end) break;
        const size_t numberEnd = wordEnd(i);
        const auto n = number(frame.substr(i, numberEnd - i), 0, 0x7FFFFFFF);
        if (!n || numberEnd >= end) {
            if (out.empty()) return std::nullopt;
            break;
        }
        ListedSetpoint s;
        s.number = static_cast<long>(*n);
        i = numberEnd + 1;
        if (i >= end) break;
        s.type = frame[i];
        i = wordEnd(i) + 1;  // past the type field and its blank
        if (i > end) break;
        if (s.type == 'T') {
            ++i;  // the opening character
            while (i < end && frame[i] != '\'' && s.text.size() < 16) s.text += frame[i++];
            ++i;  // the closing character
        }
        out.push_back(s);
        if (i >= end) break;
        i = wordEnd(i);  // the rest of the value field
    }
    if (out.empty()) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::vector<ListedSetpoint>> lastSetpointList(const std::vector<std::string> &received) {
    for (auto it = received.rbegin(); it != received.rend(); ++it)
        if (auto list = setpointEntries(*it)) return list;
    return std::nullopt;
}

}  // namespace hydrix::cli
