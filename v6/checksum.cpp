// The frame checksum and the bounded number reading that frames and replies share.
#include "v6/v6.h"

namespace v6 {

uint32_t frameChecksum(const char *text, int count) {
    uint32_t sum = 0;
    for (int i = 0; i < count; ++i) sum += static_cast<unsigned char>(text[i]);
    sum &= 0xFFFF;
    return sum >= 32768 ? 65536 - sum : sum;
}

// Reads like atoi: leading white space, an optional sign, then digits. Digits beyond
// what 32 bits hold wrap around instead of overflowing.
int32_t boundedAtoi(const char *p, const char *end) {
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    uint32_t value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) value = value * 10 + static_cast<uint32_t>(*p - '0');
    return static_cast<int32_t>(negative ? 0u - value : value);
}

}  // namespace v6
