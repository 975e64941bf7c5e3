// The auto-reset wake-up event.
#include "platform/lock.h"

#include <chrono>

namespace plat {

void WakeEvent::signal() {
    {
        std::lock_guard lk(m_);
        set_ = true;
    }
    cv_.notify_one();
}

bool WakeEvent::wait(uint32_t ms) {
    std::unique_lock lk(m_);
    if (!cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return set_; })) return false;
    set_ = false;
    return true;
}

}  // namespace plat
