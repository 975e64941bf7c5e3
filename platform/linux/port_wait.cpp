// Linux: the wake-up is an eventfd that poll watches beside the port's descriptor.
#include "platform/port_wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace plat {
namespace {

int pollRetrying(pollfd *fds, nfds_t n, uint32_t ms) {
    const int timeout = ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ms);
    int r;
    do r = ::poll(fds, n, timeout);
    while (r < 0 && errno == EINTR);  // a signal shortens the wait; the caller waits again
    return r;
}

}  // namespace

intptr_t PortWaker::object() {
    std::call_once(made_, [this] { object_.store(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)); });
    return object_.load();
}

void PortWaker::wake() {
    const int fd = static_cast<int>(object());
    const uint64_t one = 1;
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
        // The counter is full: the waiter has wake-ups enough waiting.
    }
}

PortWaker::Result PortWaker::wait(CommHandle port, uint32_t ms) {
    const int fd = static_cast<int>(object());
    pollfd fds[2];
    nfds_t n = 0;
    if (fd >= 0) fds[n++] = pollfd{fd, POLLIN, 0};
    const bool watchPort = port != COMM_HANDLE_INVALID && port >= 0 && port <= 0x7FFFFFFF;
    if (watchPort) fds[n++] = pollfd{static_cast<int>(port), POLLIN, 0};
    if (n == 0) {
        pollRetrying(nullptr, 0, ms);  // nothing to watch: a plain wait
        return Result::TimedOut;
    }
    if (pollRetrying(fds, n, ms) <= 0) return Result::TimedOut;
    if (fd >= 0 && (fds[0].revents & POLLIN) != 0) {
        uint64_t count = 0;
        while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {}
        return Result::Woken;
    }
    if (watchPort) {
        const short got = fds[n - 1].revents;
        if ((got & POLLIN) != 0) return Result::Input;
        if ((got & (POLLHUP | POLLERR | POLLNVAL)) != 0) return Result::PortTrouble;
    }
    return Result::TimedOut;
}

}  // namespace plat
