// checkRxTelegram on any bytes in the receive buffer, as readTelegram leaves them.
#include "telegram/framing.h"
#include "tg_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    TelegramChannel *ch = fuzzChannel();
    if (size > TG_BUF_SIZE - 1) size = TG_BUF_SIZE - 1;
    std::memset(ch->rxBuf, 0, sizeof ch->rxBuf);
    std::memcpy(ch->rxBuf, data, size);
    ch->rxLen = static_cast<int32_t>(size);
    const int32_t r = tg::checkRxTelegram(ch, 1);
    if (r != 999 && (r < 0 || r > 7)) __builtin_trap();
    if (ch->rxLen < 0 || ch->rxLen >= TG_BUF_SIZE || ch->rxBuf[TG_BUF_SIZE - 1] != 0) __builtin_trap();
    return 0;
}
