// The Modbus TCP server's request handling on arbitrary bytes: the stream cut into
// requests by their MBAP length, each request decoded and answered. Whatever the bytes,
// every request taken lies inside the bytes received, every decoded field fits its
// function's limits, and every reply is a well-formed frame whose length field is right.
#include <cstdint>
#include <cstdlib>
#include <variant>

#include "gateway/modbus_frame.h"

using namespace hydrix::serve;

namespace {

void checkReply(const Request &q, const std::vector<uint8_t> &r) {
    if (r.size() < kMbapHeader + 1 || r.size() > kMaxAdu) std::abort();
    if (((r[4] << 8) | r[5]) != static_cast<int>(r.size() - 6)) std::abort();
    if (((r[0] << 8) | r[1]) != q.transaction || r[2] != 0 || r[3] != 0 || r[6] != q.unit) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t at = 0;
    while (at < size) {
        size_t frame = 0;
        std::string why;
        const Framing f = frameRequest(data + at, size - at, &frame, &why);
        if (f == Framing::Bad) {
            if (why.empty()) std::abort();
            break;
        }
        if (f == Framing::NeedMore) break;
        if (frame < kMbapHeader + 1 || frame > kMaxAdu || frame > size - at) std::abort();
        const Request q = splitRequest(data + at, frame);
        const Decoded d = decodeRequest(q);
        checkReply(q, exceptionReply(q, 0x01));
        if (const auto *r = std::get_if<ReadRegisters>(&d)) {
            if (r->count < 1 || r->count > 125 || uint32_t{r->address} + r->count > 0x10000) std::abort();
            const std::vector<uint16_t> regs(r->count, 0xBEEF);
            checkReply(q, reply(q, registersPdu(q.function, regs.data(), regs.size())));
        } else if (const auto *b = std::get_if<ReadBits>(&d)) {
            if (b->count < 1 || b->count > 2000) std::abort();
            checkReply(q, reply(q, bitsPdu(q.function, std::vector<bool>(b->count, true))));
        } else if (const auto *w = std::get_if<WriteRegisters>(&d)) {
            if (w->values.empty() || w->values.size() > 123) std::abort();
        } else if (const auto *id = std::get_if<ReadDeviceId>(&d)) {
            const auto pdu = deviceIdPdu(*id, {std::string(200, 'v'), "product", ""});
            if (!pdu.empty()) checkReply(q, reply(q, pdu));
        } else if (const auto *no = std::get_if<Refused>(&d)) {
            if (no->exception < 1 || no->exception > 3) std::abort();
        }
        at += frame;
    }
    return 0;
}
