// A small self-checking test harness for the Windows programs (GoogleTest has no
// MinGW build on these machines): each CHECK counts, a failure names file and line,
// and the program ends with "N passed, N failed" and a nonzero status on failure.
#pragma once
#include <cstdio>

namespace wincheck {

struct Counts {
    int passed = 0;
    int failed = 0;
};
inline Counts &counts() {
    static Counts c;
    return c;
}

inline bool check(bool ok, const char *what, const char *file, int line) {
    if (ok) {
        ++counts().passed;
    } else {
        ++counts().failed;
        std::printf("%s:%d: FAILED: %s\n", file, line, what);
    }
    return ok;
}

inline int finish() {
    std::printf("%d passed, %d failed\n", counts().passed, counts().failed);
    return counts().failed == 0 ? 0 : 1;
}

}  // namespace wincheck

#define CHECK(cond) ::wincheck::check((cond), #cond, __FILE__, __LINE__)
// A check that names the case it belongs to (table rows).
#define CHECK_CASE(cond, name)                                                                             \
    do {                                                                                                   \
        if (!::wincheck::check((cond), #cond, __FILE__, __LINE__)) std::printf("    in case: %s\n", name); \
    } while (0)
