#include "outbox_sender.h"

namespace hydrix::serve {

std::vector<int64_t> OutboxSender::fill(const Send &send) {
    std::vector<int64_t> done;
    while (inFlight_.size() < kMax) {
        const auto batch = outbox_.pending(sentUpTo_, kMax - inFlight_.size(), sink_);
        if (batch.empty()) break;
        // On disk before on the wire: a crash after the send leaves the mark.
        if (!outbox_.markSent(batch.back().id, sink_)) break;
        for (const OutMessage &m : batch) {
            int mid = 0;
            if (!send(m, &mid)) return done;  // sent again after the next connection
            if (mid < 0)
                done.push_back(m.id);
            else
                inFlight_[mid] = m.id;
            sentUpTo_ = m.id;
        }
    }
    return done;
}

std::optional<int64_t> OutboxSender::acknowledged(int mid) {
    auto it = inFlight_.find(mid);
    if (it == inFlight_.end()) return std::nullopt;
    const int64_t id = it->second;
    inFlight_.erase(it);
    return id;
}

}  // namespace hydrix::serve
