// Frame handling of the v6 receiver on arbitrary bytes: reading up to an LF with DC3
// dropped, finding the lead byte, cutting at CR, checking the checksum. Whatever the bytes,
// nothing is read or written outside the receiver's buffer, and a frame that is reported
// found ends before the buffer does.
#include <cstdint>
#include <cstdlib>

#include "v6_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    V6Channel *ch = fuzzV6Channel(0);  // its line buffers are not used here
    ch->state.store(v6::ST_IDLE);
    v6::clearBuffer(&ch->rxFrame);
    const int n = size > 8000 ? 8000 : static_cast<int>(size);
    const int32_t found = v6::frameFromBytes(ch, reinterpret_cast<const char *>(data), n);
    const V6Buffer &f = ch->rxFrame;
    if (found == 1) {
        if (f.length < 1 || f.length >= v6::MAX_FRAME_READ + 1 || f.data[f.length] != '#') std::abort();
        if (f.data[0] != v6::STX && f.data[0] != v6::SOH) std::abort();
        if (f.ioErrCode != 0 && f.ioErrCode != v6::RX_ERR_CHECKSUM) std::abort();
    } else if (f.ioErrCode != 0 && f.ioErrCode != v6::RX_ERR_NO_LEAD) {
        std::abort();
    }
    return 0;
}
