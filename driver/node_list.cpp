#include "driver/node_list.h"

#include <climits>

#include "platform/text.h"

namespace {

// atoi of a run that holds only letters and digits: its leading digits.
uint32_t runValue(const char *run, const char *end) {
    int64_t v = 0;
    for (const char *p = run; p < end && *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > INT32_MAX) return static_cast<uint32_t>(INT32_MAX);
    }
    return static_cast<uint32_t>(v);
}

}  // namespace

std::vector<uint32_t> parseNodeList(const char *text, int limit) {
    std::vector<uint32_t> nodes;
    const char *p = text;
    while (*p != '\0') {
        if (!plat::isCharAlphaNumeric(*p)) {
            ++p;
            continue;
        }
        const char *run = p;
        while (*p != '\0' && plat::isCharAlphaNumeric(*p)) ++p;
        if (static_cast<int>(nodes.size()) < limit) nodes.push_back(runValue(run, p));
    }
    return nodes;
}
