// A front end's messages from the outbox on their way to the broker: handed over in id
// order, at most kMax at a time, each batch marked on disk as sent before it goes (after a
// crash they go again as possible copies), and removed when the broker acknowledges them.
// It takes no lock of its own: its front end calls it under its lock.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "outbox.h"

namespace hydrix::serve {

class OutboxSender {
public:
    static constexpr size_t kMax = 100;  // sent and not yet acknowledged
    OutboxSender(Outbox &outbox, Sink sink) : outbox_(outbox), sink_(sink) {}
    // Hands waiting messages to `send`, which gives the publication's message id, -1 for a
    // message with nothing to send (taken off at once), or false when it cannot send now
    // (that one and the rest go later). Returns the outbox ids to remove, outside the lock.
    using Send = std::function<bool(const OutMessage &, int *mid)>;
    std::vector<int64_t> fill(const Send &send);
    // The broker has message `mid`: its outbox id, to remove; none when it is not one of
    // these (a value, a status, a birth).
    std::optional<int64_t> acknowledged(int mid);
    bool idle() const { return inFlight_.empty(); }
    // A new session without the library's copies of the last one: everything goes again.
    void restart() {
        inFlight_.clear();
        sentUpTo_ = 0;
    }

private:
    Outbox &outbox_;
    const Sink sink_;
    std::map<int, int64_t> inFlight_;  // message id -> outbox id
    int64_t sentUpTo_ = 0;             // outbox ids up to this one are in flight or acknowledged
};

}  // namespace hydrix::serve
