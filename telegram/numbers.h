// Number reading for reply text. The station's text is untrusted, so integers are read
// like atoi (leading white space, optional sign, decimal digits) but saturate at the
// 32-bit range instead of overflowing.
#pragma once
#include <cstdint>
#include <cstdlib>

namespace tg {

inline bool isSpaceChar(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

inline int32_t readInt(const char *p) {
    while (isSpaceChar(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v <= INT32_MAX) v = v * 10 + (*p - '0');
        ++p;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// A floating-point number read like atof; text without a number gives 0.
inline float readFloat(const char *p) { return static_cast<float>(std::strtod(p, nullptr)); }

// A float truncated toward zero to an integer; NaN gives 0 and values beyond the 32-bit
// range saturate (a plain cast would be undefined there).
inline int32_t truncateToInt(double v) {
    if (v != v) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace tg
