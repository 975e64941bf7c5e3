// parseHistoryRecord run over a history reply the way the history request does.
#include "telegram/parsers.h"
#include "tg_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    TelegramChannel *ch = fuzzChannel();
    const std::vector<char> text = fuzzText(data, size);
    const char *pos = text.data();
    // Exactly the room the request gives, on the heap so that overruns are caught.
    std::vector<float> values(tg::HISTORY_MAX_VALUES);
    do {
        plat::SystemTime at{};
        int count = 0;
        const char *next = tg::parseHistoryRecord(ch, pos, &at, values.data(), tg::HISTORY_MAX_VALUES, &count);
        if (next == nullptr) break;
        if (next <= pos || next > text.data() + size || count < 1) __builtin_trap();
        pos = next;
    } while (*pos != '#' && *pos != '\0');
    return 0;
}
