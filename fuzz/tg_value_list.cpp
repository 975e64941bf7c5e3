// parseFloatField run over a reply the way the picture and report reads do.
#include "telegram/parsers.h"
#include "tg_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<char> text = fuzzText(data, size);
    const char *pos = text.data();
    const char *end = text.data() + size;
    float v = 0;
    do {
        const char *next = tg::parseFloatField(pos, &v);
        if (next <= pos && *pos != '\0') __builtin_trap();  // no progress
        if (next > end) __builtin_trap();
        pos = next;
    } while (*pos != '\0' && *pos != '#');
    return 0;
}
