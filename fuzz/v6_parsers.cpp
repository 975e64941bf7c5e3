// The five v6 reply parsers on arbitrary reply texts. The first input byte picks the
// parser and the size of the host's message pool (a small pool makes every parser pause
// and resume); the rest is the reply text, placed in a line buffer with nothing behind
// it but non-blank filler, so a parser that ignores the text's length runs off the end.
// Checks: no access outside the buffers, the parse ends, and every line buffer and host
// message comes back.
#include <cstdint>
#include <cstring>

#include "v6_fuzz_common.h"

namespace {

constexpr int kChan = 0;

int32_t parse(V6Channel *ch, int which, int first) {
    switch (which) {
    case 0:
        return v6::FormatMCC(ch);
    case 1:
        return v6::FormatMAS(ch);
    case 2:
        return v6::FormatWGD(ch, first);
    case 3:
        return v6::formatWGH(ch, first);
    default:
        return v6::FormatWGS(ch, first);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    V6Channel *ch = fuzzV6Channel(kChan);
    const int which = data[0] % 5;
    const int poolSize = 2 + (data[0] >> 3) % 6;
    hydrix::rt::configurePool(kChan, poolSize, 64);
    fuzzDrainToPool(kChan);

    HostMsg *request = getMsgFromPool(kChan);
    request->node = 12;
    request->address = 0x00030011;
    request->direction = DIR_READ;
    std::memset(request->data, 0, 8);
    ch->curMsg.store(request);

    V6Buffer *buf = v6::takeBuf(ch, &ch->freeQueue);
    const size_t n = size - 1 > V6_DATA_SIZE ? V6_DATA_SIZE : size - 1;
    std::memset(buf->data, '7', sizeof buf->data);
    std::memcpy(buf->data, data + 1, n);
    buf->length = static_cast<int32_t>(n);
    ch->replyBuffer = buf;
    ch->parseCursor = buf->data + (which == 3 ? 2 : 1);
    if (n < 3) ch->parseCursor = buf->data;

    // As the channel thread does: call again while the parser asks for it, with the
    // host taking the messages meanwhile.
    int calls = 0;
    int32_t more = parse(ch, which, 1);
    while (more == 1) {
        if (++calls > 10000) std::abort();  // a parse that never ends
        fuzzDrainToPool(kChan);
        more = parse(ch, which, 0);
    }

    fuzzCheckReturned(ch, poolSize);
    return 0;
}
