// parseSetpointField run over a setpoint list the way the setpoint requests do.
#include "telegram/parsers.h"
#include "tg_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    TelegramChannel *ch = fuzzChannel();
    const std::vector<char> text = fuzzText(data, size);
    const char *pos = text.data();
    for (;;) {
        const char *next = tg::parseSetpointField(ch, pos);
        if (next == nullptr) break;
        if (next <= pos || next > text.data() + size) __builtin_trap();
        pos = next;
        if (*pos == '#' || *pos == '\0') break;
    }
    return 0;
}
