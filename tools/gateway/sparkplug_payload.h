// Sparkplug B payloads: the few kinds of metric the edge node sends and takes, and their
// protobuf encoding (protobuf-c, from sparkplug_b.proto).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace hydrix::serve::sparkplug {

// The Sparkplug data types the gateway uses.
enum class DataType : uint32_t { Int32 = 3, Int64 = 4, UInt64 = 8, Double = 10, Boolean = 11, String = 12 };

// OPC quality codes in a metric's "Quality" property: a good read; reads failing with the
// last good value still within its age; the value too old (or never read).
constexpr int32_t kQualityGood = 192;
constexpr int32_t kQualityLastUsable = 68;
constexpr int32_t kQualityBad = 24;

using Value = std::variant<std::monostate, double, int64_t, uint64_t, bool, std::string>;

struct Metric {
    std::string name;
    DataType type = DataType::Double;
    Value value;                     // monostate: is_null
    uint64_t timestamp = 0;          // ms since 1970; 0: none
    bool historical = false;         // is_historical: a record of the station's past
    std::string unit;                // "engUnit" property, when not empty
    std::optional<int32_t> quality;  // "Quality" property
    bool dup = false;                // "dup" property: an earlier run may have sent it already
};

struct Payload {
    uint64_t timestamp = 0;  // ms since 1970
    std::optional<uint64_t> seq;
    std::vector<Metric> metrics;
};

std::string encode(const Payload &payload);
// Nothing when the bytes are no Sparkplug payload.
std::optional<Payload> decode(const std::string &bytes);

// Now, in ms since 1970.
uint64_t nowMs();

}  // namespace hydrix::serve::sparkplug
