// Sparkplug B payloads from the broker (NCMD, DCMD): whatever the bytes, decoding ends with
// a payload or none, and a payload decoded encodes and decodes again to the same metrics.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sparkplug_payload.h"

namespace sp = hydrix::serve::sparkplug;

namespace {

// A number as a number, whatever field carried it; text and flags as they are.
bool same(const sp::Value &a, const sp::Value &b) {
    const auto number = [](const sp::Value &v) -> std::optional<long double> {
        if (const double *d = std::get_if<double>(&v)) return *d;
        if (const int64_t *i = std::get_if<int64_t>(&v)) return *i;
        if (const uint64_t *u = std::get_if<uint64_t>(&v)) return *u;
        return std::nullopt;
    };
    const auto x = number(a), y = number(b);
    if (x && y) return *x == *y || (*x != *x && *y != *y);  // NaN is NaN
    return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto payload = sp::decode(std::string(reinterpret_cast<const char *>(data), size));
    if (!payload) return 0;
    const auto again = sp::decode(sp::encode(*payload));
    if (!again || again->metrics.size() != payload->metrics.size()) std::abort();
    for (size_t i = 0; i < payload->metrics.size(); ++i) {
        const sp::Metric &a = payload->metrics[i], &b = again->metrics[i];
        if (a.name != b.name || a.timestamp != b.timestamp || !same(a.value, b.value) || a.unit != b.unit ||
            a.quality != b.quality || a.dup != b.dup)
            std::abort();
    }
    return 0;
}
