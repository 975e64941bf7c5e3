#include "station/frame.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace hydrix::station::wire {

int checksum(std::string_view text, bool v6) {
    int sum = 0;
    for (char c : text) {
        if (c == '#') break;
        if (v6) {
            sum += static_cast<unsigned char>(c);
        } else {
            if (c == DC3) continue;
            sum += static_cast<signed char>(c);
        }
    }
    const unsigned v = static_cast<unsigned>(sum) & 0xFFFFu;
    return v < 32768u ? static_cast<int>(v) : static_cast<int>(65536u - v);
}

std::string buildFrame(char lead, std::string_view text, bool v6, bool lf, int checkDelta) {
    std::string inner = " ";
    inner += text;
    inner += ' ';
    std::string out(1, lead);
    out += inner;
    out += "# ";
    out += std::to_string(checksum(inner, v6) + checkDelta);
    if (v6) {
        out += " \r";
        if (lf) out += '\n';
    } else {
        out += "\r\n";
    }
    return out;
}

std::string buildRequest(std::string_view text, bool v6) {
    std::string body = " ";
    body += text;
    body += " #";
    std::string out(1, SOH);
    out += body;
    out += ' ';
    out += std::to_string(checksum(body, v6));
    out += " \r";
    return out;
}

std::vector<std::string> splitWords(std::string_view text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') ++i;
        if (i >= text.size()) break;
        size_t end;
        if (text[i] == '\'') {
            end = text.find('\'', i + 1);
            end = end == std::string_view::npos ? text.size() : end + 1;
            // anything glued to the closing apostrophe belongs to the word
            while (end < text.size() && text[end] != ' ') ++end;
        } else {
            end = text.find(' ', i);
            if (end == std::string_view::npos) end = text.size();
        }
        words.emplace_back(text.substr(i, end - i));
        i = end;
    }
    return words;
}

Request parseRequest(std::string_view raw, bool v6) {
    Request r;
    if (!raw.empty() && raw.front() == SOH) raw.remove_prefix(1);
    const size_t hash = raw.find('#');
    r.hasHash = hash != std::string_view::npos;
    r.body = std::string(raw.substr(0, r.hasHash ? hash : raw.size()));
    while (!r.body.empty() && (r.body.back() == CR || r.body.back() == LF)) r.body.pop_back();
    r.words = splitWords(r.body);
    r.computed = checksum(r.body, v6);
    if (r.hasHash) {
        size_t i = hash + 1;
        while (i < raw.size() && raw[i] == ' ') ++i;
        int value = 0, digits = 0;
        while (i < raw.size() && raw[i] >= '0' && raw[i] <= '9' && digits < 9) {
            value = value * 10 + (raw[i] - '0');
            ++i;
            ++digits;
        }
        r.received = digits ? value : -1;
    }
    return r;
}

std::string number(double value) {
    char buf[64];
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15)
        std::snprintf(buf, sizeof buf, "%.0f", value);
    else
        std::snprintf(buf, sizeof buf, "%.7g", value);
    return buf;
}

std::string setpointValue(const Setpoint &s) {
    char buf[64];
    switch (s.type) {
    case '1':
    case '2':
    case '3':
    case '4':
        std::snprintf(buf, sizeof buf, "%.*f", s.type - '0', s.value);
        return buf;
    case 'T':
        return "'" + s.text + "'";
    default:
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(std::trunc(s.value)));
        return buf;
    }
}

LocalTime addDays(const LocalTime &t, int days) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day + days;
    tm.tm_hour = 12;  // calendar arithmetic only; noon keeps clear of any day edge
    const time_t when = timegm(&tm);
    std::tm out{};
    gmtime_r(&when, &out);
    return LocalTime{out.tm_year + 1900, out.tm_mon + 1, out.tm_mday, t.hour, t.minute};
}

bool validDate(const LocalTime &t) {
    if (t.year < 1970 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1 || t.hour < 0 || t.hour > 23 ||
        t.minute < 0 || t.minute > 59)
        return false;
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    const int last = lengths[t.month - 1] + (t.month == 2 && leap ? 1 : 0);
    return t.day <= last;
}

}  // namespace hydrix::station::wire

namespace hydrix::station {

std::string printable(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
        case 0x01:
            out += "[SOH]";
            break;
        case 0x02:
            out += "[STX]";
            break;
        case 0x0A:
            out += "[LF]";
            break;
        case 0x0D:
            out += "[CR]";
            break;
        case 0x13:
            out += "[DC3]";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "[%02X]", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

}  // namespace hydrix::station
