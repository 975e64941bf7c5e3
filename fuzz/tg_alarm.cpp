// parseAlarmRecord on any alarm line.
#include "telegram/parsers.h"
#include "tg_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    TelegramChannel *ch = fuzzChannel();
    const std::vector<char> text = fuzzText(data, size);
    tg::AlarmRecord rec{};
    if (tg::parseAlarmRecord(ch, text.data(), &rec) && rec.flag > 1) __builtin_trap();
    return 0;
}
