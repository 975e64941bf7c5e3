// Process state and word swapping for the driver.
#include <atomic>
#include <cstring>

#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

// The data-acquisition process record as the driver sees it: only the second 16-bit word
// means anything (2 = ready). Two fixed records, one per state, so that the driver's
// unlocked read never races with a change: setHostReady only switches the pointer.
alignas(8) const int16_t kReadyRecord[8] = {0, 2, 0, 0, 0, 0, 0, 0};
alignas(8) const int16_t kNotReadyRecord[8] = {0, 0, 0, 0, 0, 0, 0, 0};

std::atomic<bool> hostReady{true};
std::atomic<int32_t> extInterface{-1};

}  // namespace

void setHostReady(bool ready) { hostReady.store(ready, std::memory_order_release); }

int32_t extInterfaceFlag() { return extInterface.load(std::memory_order_acquire); }

}  // namespace hydrix::rt

extern "C" const void *HYDRIX_CALL getDap(void) {
    return hydrix::rt::hostReady.load(std::memory_order_acquire) ? hydrix::rt::kReadyRecord
                                                                 : hydrix::rt::kNotReadyRecord;
}

// Copies wordCount 16-bit words with the two bytes of each exchanged. Source and
// destination may be the same area.
extern "C" int32_t HYDRIX_CALL memswap(void *dest, const void *src, int32_t wordCount) {
    if (!dest || !src || wordCount <= 0) return 0;
    auto *d = static_cast<unsigned char *>(dest);
    const auto *s = static_cast<const unsigned char *>(src);
    for (int32_t i = 0; i < wordCount; ++i) {
        unsigned char lo = s[2 * i], hi = s[2 * i + 1];
        d[2 * i] = hi;
        d[2 * i + 1] = lo;
    }
    return wordCount;
}

extern "C" int32_t HYDRIX_CALL setDrvExtInterface(int32_t flag) {
    hydrix::rt::extInterface.store(flag, std::memory_order_release);
    return 1;
}
