// Line taps: the observers of the bytes each channel's port carries (see setLineTap).
//
// A caller copies the tap under the slot's mutex and counts itself in `calls` while it
// runs the tap outside the mutex; setLineTap waits for `calls` to reach 0, so that a
// replaced tap is neither running nor alive once setLineTap returns.
#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

struct TapSlot {
    std::mutex mutex;
    std::condition_variable idle;
    std::shared_ptr<const LineTap> tap;
    int calls = 0;
};

struct Taps {
    std::atomic<int> set{0};  // channels with a tap: readComm and writeComm look no further while 0
    std::array<TapSlot, HYDRIX_CHANNELS> slots;
};

Taps &taps() {
    static Taps t;
    return t;
}

thread_local int insideTap = 0;

}  // namespace

void setLineTap(int channel, LineTap tap) {
    if (!detail::checkChannel("setLineTap", channel)) return;
    Taps &t = taps();
    TapSlot &slot = t.slots[static_cast<size_t>(channel)];
    std::shared_ptr<const LineTap> old;
    std::unique_lock lock(slot.mutex);
    const bool had = slot.tap != nullptr;
    old = std::move(slot.tap);
    if (tap) slot.tap = std::make_shared<const LineTap>(std::move(tap));
    const bool has = slot.tap != nullptr;
    if (has != had) t.set.fetch_add(has ? 1 : -1, std::memory_order_acq_rel);
    if (insideTap == 0) slot.idle.wait(lock, [&] { return slot.calls == 0; });
    lock.unlock();
    old.reset();  // outside the lock: its captures may do anything when they go
}

namespace detail {

bool anyLineTap() { return taps().set.load(std::memory_order_acquire) != 0; }

void tapBytes(int channel, Direction direction, const unsigned char *bytes, size_t count) {
    Taps &t = taps();
    if (count == 0 || channel < 0 || channel >= HYDRIX_CHANNELS) return;
    TapSlot &slot = t.slots[static_cast<size_t>(channel)];
    std::shared_ptr<const LineTap> tap;
    {
        std::lock_guard lock(slot.mutex);
        if (!slot.tap) return;
        tap = slot.tap;
        ++slot.calls;
    }
    ++insideTap;
    (*tap)(direction, bytes, count);
    --insideTap;
    tap.reset();  // a replaced tap ends here, before setLineTap may return
    std::lock_guard lock(slot.mutex);
    if (--slot.calls == 0) slot.idle.notify_all();
}

}  // namespace detail
}  // namespace hydrix::rt
