#include "output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "times.h"

namespace hydrix::cli {
namespace {

std::string number(double d) {
    if (std::isnan(d)) return "nan";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", d);
    return buf;
}

// One form for every number: a whole number without a fraction ("3", never "3.0"), any
// other as the table shows it (a station's 32-bit value to 9 digits: 3.0999999, not
// 3.0999999046325684).
nlohmann::ordered_json jsonNumber(double d) {
    if (!std::isfinite(d)) return nullptr;
    if (std::fabs(d) < 9007199254740992.0 && d == std::trunc(d)) return static_cast<long long>(d);
    return std::strtod(number(d).c_str(), nullptr);
}

std::string csvQuoted(const std::string &text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::string valueText(const Value &v) {
    if (const auto *d = std::get_if<double>(&v)) return number(*d);
    if (const auto *i = std::get_if<long long>(&v)) return std::to_string(*i);
    if (const auto *s = std::get_if<std::string>(&v)) return *s;
    return "";
}

// A value the engine does not deliver shows as "-" (its note says why), never as a blank
// that could pass for an empty text.
static std::string tableValue(const Record &r) {
    if (!r.failed() && std::holds_alternative<std::monostate>(r.value) && r.index) return "-";
    return valueText(r.value);
}

std::string errorField(const Record &r) {
    std::string out;
    if (r.error)
        out = std::to_string(r.error->group) + "/" + std::to_string(r.error->code) + "/" + std::to_string(r.error->sub);
    if (!r.errorText.empty()) out += (out.empty() ? "" : " ") + r.errorText;
    return out;
}

std::string jsonLine(const Record &r) {
    nlohmann::ordered_json j;
    j["channel"] = r.channel;
    j["node"] = r.node;
    j["item"] = r.item;
    j["index"] = r.index ? nlohmann::ordered_json(*r.index) : nullptr;
    if (const auto *d = std::get_if<double>(&r.value))
        j["value"] = jsonNumber(*d);
    else if (const auto *i = std::get_if<long long>(&r.value))
        j["value"] = *i;
    else if (const auto *s = std::get_if<std::string>(&r.value))
        j["value"] = *s;
    else
        j["value"] = nullptr;
    j["time"] = r.time ? nlohmann::ordered_json(isoUtc(r.time)) : nullptr;
    if (r.failed()) {
        nlohmann::ordered_json e;
        e["group"] = r.error ? r.error->group : 0;
        e["code"] = r.error ? r.error->code : 0;
        e["sub"] = r.error ? r.error->sub : 0;
        e["cause"] = causeKey(r.cause);
        e["text"] = r.errorText;
        j["error"] = e;
    } else {
        j["error"] = nullptr;
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string csvHeader() { return "channel,node,item,index,value,time,error"; }

std::string csvLine(const Record &r) {
    return std::to_string(r.channel) + "," + std::to_string(r.node) + "," + csvQuoted(r.item) + "," +
           (r.index ? std::to_string(*r.index) : "") + "," + csvQuoted(valueText(r.value)) + "," + isoUtc(r.time) +
           "," + csvQuoted(errorField(r));
}

std::string table(const Records &records) {
    const std::vector<std::string> head = {"CH", "NODE", "ITEM", "INDEX", "VALUE", "TIME (UTC)", "LOCAL TIME", "ERROR"};
    std::vector<std::vector<std::string>> rows;
    for (const Record &r : records)
        rows.push_back({std::to_string(r.channel), std::to_string(r.node), r.item,
                        r.index ? std::to_string(*r.index) : "", tableValue(r), isoUtc(r.time), localText(r.time),
                        errorField(r)});
    std::vector<size_t> width(head.size());
    for (size_t c = 0; c < head.size(); ++c) {
        width[c] = head[c].size();
        for (const auto &row : rows) width[c] = std::max(width[c], row[c].size());
    }
    auto line = [&](const std::vector<std::string> &cells) {
        std::string out;
        for (size_t c = 0; c < cells.size(); ++c) {
            const bool right = c <= 1 || c == 3 || c == 4;  // numbers line up on the right
            const std::string pad(width[c] - cells[c].size(), ' ');
            out += right ? pad + cells[c] : cells[c] + (c + 1 < cells.size() ? pad : "");
            if (c + 1 < cells.size()) out += "  ";
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        return out + "\n";
    };
    std::string out = line(head);
    for (const auto &row : rows) out += line(row);
    return out;
}

void printRecords(FILE *out, Format format, const Records &records, bool header) {
    std::string text;
    switch (format) {
    case Format::Table:
        text = table(records);
        break;
    case Format::Json:
        for (const Record &r : records) text += jsonLine(r) + "\n";
        break;
    case Format::Csv:
        if (header) text = csvHeader() + "\n";
        for (const Record &r : records) text += csvLine(r) + "\n";
        break;
    }
    std::fputs(text.c_str(), out);
    std::fflush(out);
}

}  // namespace hydrix::cli
