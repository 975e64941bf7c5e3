#include "modbus_frame.h"

namespace hydrix::serve {
namespace {

uint16_t word(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void putWord(std::vector<uint8_t> *out, uint16_t w) {
    out->push_back(static_cast<uint8_t>(w >> 8));
    out->push_back(static_cast<uint8_t>(w & 0xFF));
}

constexpr uint8_t kIllegalFunctionCode = 0x01;
constexpr uint8_t kIllegalAddressCode = 0x02;
constexpr uint8_t kIllegalValueCode = 0x03;

}  // namespace

Framing frameRequest(const uint8_t *data, size_t size, size_t *frameSize, std::string *why) {
    if (size < kMbapHeader) return Framing::NeedMore;
    const uint16_t protocol = word(data + 2);
    const uint16_t length = word(data + 4);  // unit id and PDU
    if (protocol != 0) {
        *why = "protocol id " + std::to_string(protocol) + " is not Modbus (0)";
        return Framing::Bad;
    }
    if (length < 2 || length > kMaxAdu - 6) {
        *why = "MBAP length " + std::to_string(length) + " is no request's (2 to 254)";
        return Framing::Bad;
    }
    *frameSize = 6 + static_cast<size_t>(length);
    return size >= *frameSize ? Framing::Complete : Framing::NeedMore;
}

Request splitRequest(const uint8_t *frame, size_t size) {
    Request r;
    r.transaction = word(frame);
    r.unit = frame[6];
    r.function = frame[7];
    r.data.assign(frame + kMbapHeader + 1, frame + size);
    return r;
}

Decoded decodeRequest(const Request &q) {
    const std::vector<uint8_t> &d = q.data;
    const auto exactly = [&](size_t n) { return d.size() == n; };
    const Refused badValue{kIllegalValueCode};
    switch (q.function) {
    case 0x01:
    case 0x02: {
        if (!exactly(4)) return badValue;
        ReadBits r{q.function == 0x02, word(&d[0]), word(&d[2])};
        if (r.count < 1 || r.count > 2000) return badValue;
        if (uint32_t{r.address} + r.count > 0x10000) return Refused{kIllegalAddressCode};
        return r;
    }
    case 0x03:
    case 0x04: {
        if (!exactly(4)) return badValue;
        ReadRegisters r{q.function == 0x04, word(&d[0]), word(&d[2])};
        if (r.count < 1 || r.count > 125) return badValue;
        if (uint32_t{r.address} + r.count > 0x10000) return Refused{kIllegalAddressCode};
        return r;
    }
    case 0x05: {
        if (!exactly(4)) return badValue;
        const uint16_t v = word(&d[2]);
        if (v != 0xFF00 && v != 0) return badValue;
        return WriteCoil{word(&d[0]), v == 0xFF00};
    }
    case 0x06:
        if (!exactly(4)) return badValue;
        return WriteRegister{word(&d[0]), word(&d[2])};
    case 0x0F: {
        if (d.size() < 5) return badValue;
        const uint16_t count = word(&d[2]);
        if (count < 1 || count > 1968 || d[4] != (count + 7) / 8 || d.size() != 5u + d[4]) return badValue;
        return WriteCoils{word(&d[0]), count};
    }
    case 0x10: {
        if (d.size() < 5) return badValue;
        const uint16_t count = word(&d[2]);
        if (count < 1 || count > 123 || d[4] != 2 * count || d.size() != 5u + d[4]) return badValue;
        if (uint32_t{word(&d[0])} + count > 0x10000) return Refused{kIllegalAddressCode};
        WriteRegisters w{word(&d[0]), {}};
        for (size_t i = 0; i < count; ++i) w.values.push_back(word(&d[5 + 2 * i]));
        return w;
    }
    case 0x2B:
        // Only the device identification (MEI type 0x0E) of the encapsulated interface.
        if (d.empty() || d[0] != 0x0E) return Refused{kIllegalFunctionCode};
        if (!exactly(3) || d[1] < 1 || d[1] > 4) return badValue;
        return ReadDeviceId{d[1], d[2]};
    default:
        return Refused{kIllegalFunctionCode};
    }
}

std::vector<uint8_t> reply(const Request &q, const std::vector<uint8_t> &pdu) {
    std::vector<uint8_t> out;
    out.reserve(kMbapHeader + pdu.size());
    putWord(&out, q.transaction);
    putWord(&out, 0);
    putWord(&out, static_cast<uint16_t>(pdu.size() + 1));
    out.push_back(q.unit);
    out.insert(out.end(), pdu.begin(), pdu.end());
    return out;
}

std::vector<uint8_t> exceptionReply(const Request &q, uint8_t code) {
    std::vector<uint8_t> pdu(2);
    pdu[0] = static_cast<uint8_t>(q.function | 0x80);
    pdu[1] = code;
    return reply(q, pdu);
}

std::vector<uint8_t> registersPdu(uint8_t function, const uint16_t *values, size_t count) {
    // Sized at once: g++ 12 at -O3 misreads a vector grown from an initializer list.
    std::vector<uint8_t> pdu(2 + 2 * count, 0);
    pdu[0] = function;
    pdu[1] = static_cast<uint8_t>(2 * count);
    for (size_t i = 0; i < count; ++i) {
        pdu[2 + 2 * i] = static_cast<uint8_t>(values[i] >> 8);
        pdu[3 + 2 * i] = static_cast<uint8_t>(values[i] & 0xFF);
    }
    return pdu;
}

std::vector<uint8_t> bitsPdu(uint8_t function, const std::vector<bool> &bits) {
    const size_t bytes = (bits.size() + 7) / 8;
    std::vector<uint8_t> pdu(2 + bytes, 0);
    pdu[0] = function;
    pdu[1] = static_cast<uint8_t>(bytes);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i]) pdu[2 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    return pdu;
}

std::vector<uint8_t> deviceIdPdu(const ReadDeviceId &q, const DeviceIdentity &identity) {
    const std::string *objects[] = {&identity.vendor, &identity.product, &identity.version};
    constexpr uint8_t kObjects = 3;
    // Individual access (code 4) to an object there is not: nothing (the server answers
    // 0x02). A stream read from an unknown object starts again at the first.
    if (q.code == 4 && q.object >= kObjects) return {};
    const uint8_t first = q.code == 4 || q.object < kObjects ? q.object : 0;
    const uint8_t last = q.code == 4 ? first : kObjects - 1;
    std::vector<uint8_t> pdu;
    pdu.reserve(253);
    for (uint8_t b : {uint8_t{0x2B}, uint8_t{0x0E}, q.code, uint8_t{0x81} /* basic, stream and individual */,
                      uint8_t{0x00}, uint8_t{0x00}, static_cast<uint8_t>(last - first + 1)})
        pdu.push_back(b);
    for (uint8_t id = first; id <= last; ++id) {
        const std::string &text = *objects[id];
        const size_t n = std::min<size_t>(text.size(), 64);
        pdu.push_back(id);
        pdu.push_back(static_cast<uint8_t>(n));
        pdu.insert(pdu.end(), text.begin(), text.begin() + static_cast<long>(n));
    }
    return pdu;
}

}  // namespace hydrix::serve
