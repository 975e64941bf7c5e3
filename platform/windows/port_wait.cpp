// Windows: the wake-up is an auto-reset event. The port is the host's, opened for its
// overlapped reads, so the wait looks at the receive queue in short slices (as
// waitCommInput does) and waits on the event between looks.
#include <windows.h>

#include "platform/comm_status.h"
#include "platform/port_wait.h"

namespace plat {
namespace {

constexpr DWORD kLookMs = 5;

}  // namespace

intptr_t PortWaker::object() {
    std::call_once(made_, [this] {
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        object_.store(event != nullptr ? reinterpret_cast<intptr_t>(event) : -1);
    });
    return object_.load();
}

void PortWaker::wake() {
    const intptr_t event = object();
    if (event != -1) SetEvent(reinterpret_cast<HANDLE>(event));
}

PortWaker::Result PortWaker::wait(CommHandle port, uint32_t ms) {
    const intptr_t made = object();
    const HANDLE event = made != -1 ? reinterpret_cast<HANDLE>(made) : nullptr;
    const auto waitEvent = [event](DWORD forMs) {
        if (event == nullptr) {
            Sleep(forMs);
            return false;
        }
        return WaitForSingleObject(event, forMs) == WAIT_OBJECT_0;
    };
    if (port == COMM_HANDLE_INVALID || port == nullptr) return waitEvent(ms) ? Result::Woken : Result::TimedOut;
    const DWORD start = GetTickCount();
    for (;;) {
        // A port that fails the look counts as ready: the read that follows says why.
        if (waitCommInput(port, 0)) return Result::Input;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return Result::TimedOut;
        const DWORD left = ms - elapsed;
        if (waitEvent(left < kLookMs ? left : kLookMs)) return Result::Woken;
    }
}

}  // namespace plat
