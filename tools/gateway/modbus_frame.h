// Modbus TCP requests as the server takes them off the stream, and the replies it builds:
// each request is read by its MBAP header's length, so a request of any function, known
// or not, is taken whole and the stream stays in step. Pure functions of bytes, with no
// sockets: the server uses them, and so does the fuzz target.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace hydrix::serve {

inline constexpr size_t kMbapHeader = 7;  // transaction, protocol, length, unit id
inline constexpr size_t kMaxAdu = 260;    // MBAP header and the longest PDU (253 bytes)

enum class Framing { NeedMore, Complete, Bad };

// How the bytes received so far begin: a whole request of *size bytes, more needed, or
// a header no Modbus TCP client sends (a protocol id other than 0, a length that no
// request has): the connection cannot be read in step any more (*why says why).
Framing frameRequest(const uint8_t *data, size_t size, size_t *frameSize, std::string *why);

// A whole request, split.
struct Request {
    uint16_t transaction = 0;
    uint8_t unit = 0;
    uint8_t function = 0;
    std::vector<uint8_t> data;  // the PDU after the function code
};
Request splitRequest(const uint8_t *frame, size_t size);

// A request's meaning, its fields read and checked against its length.
struct ReadRegisters {
    bool input = false;
    uint16_t address = 0, count = 0;
};  // 0x03, 0x04
struct ReadBits {
    bool inputs = false;
    uint16_t address = 0, count = 0;
};  // 0x01, 0x02
struct WriteCoil {
    uint16_t address = 0;
    bool on = false;
};  // 0x05
struct WriteRegister {
    uint16_t address = 0, value = 0;
};  // 0x06
struct WriteCoils {
    uint16_t address = 0, count = 0;
};  // 0x0F
struct WriteRegisters {
    uint16_t address = 0;
    std::vector<uint16_t> values;
};  // 0x10
struct ReadDeviceId {
    uint8_t code = 1, object = 0;
};  // 0x2B / 0x0E
struct Refused {
    uint8_t exception = 0;
};  // answered with this exception at once
using Decoded =
    std::variant<ReadRegisters, ReadBits, WriteCoil, WriteRegister, WriteCoils, WriteRegisters, ReadDeviceId, Refused>;
Decoded decodeRequest(const Request &request);

// Replies: a PDU (function code first) in its MBAP header, and an exception.
std::vector<uint8_t> reply(const Request &request, const std::vector<uint8_t> &pdu);
std::vector<uint8_t> exceptionReply(const Request &request, uint8_t code);
// The PDU that answers a read of registers or bits.
std::vector<uint8_t> registersPdu(uint8_t function, const uint16_t *values, size_t count);
std::vector<uint8_t> bitsPdu(uint8_t function, const std::vector<bool> &bits);
// The PDU that answers a device identification read: the basic objects (vendor,
// product, version); nothing when the object asked for individually does not exist.
struct DeviceIdentity {
    std::string vendor, product, version;
};
std::vector<uint8_t> deviceIdPdu(const ReadDeviceId &request, const DeviceIdentity &identity);

}  // namespace hydrix::serve
