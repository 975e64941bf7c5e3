#include "store.h"

#include <cmath>
#include <limits>
#include <set>

namespace hydrix::serve {

Quality qualityOf(const ItemState &s, Clock::time_point now, double staleLimit) {
    if (!s.everGood) return Quality::NeverRead;
    if (std::chrono::duration<double>(now - s.goodAt).count() > staleLimit) return Quality::Stale;
    return s.failing ? Quality::Failing : Quality::Good;
}

void Store::declare(const std::string &item, int first, int count) {
    std::lock_guard lock(mutex_);
    Entry &e = items_[item];
    if (e.state.values.size() == static_cast<size_t>(count) && e.first == first) return;
    e.first = first;
    e.state = ItemState{};
    e.state.values.assign(static_cast<size_t>(count), std::numeric_limits<double>::quiet_NaN());
    e.state.present.assign(static_cast<size_t>(count), false);
}

void Store::keepOnly(const std::vector<std::string> &items) {
    const std::set<std::string> keep(items.begin(), items.end());
    std::lock_guard lock(mutex_);
    std::erase_if(items_, [&](const auto &e) { return !keep.count(e.first); });
}

std::vector<std::pair<long long, double>> Store::good(const std::string &item,
                                                      const std::vector<std::pair<long long, double>> &values,
                                                      OrvelTime time, Clock::time_point at) {
    std::vector<std::pair<long long, double>> changed;
    std::lock_guard lock(mutex_);
    auto it = items_.find(item);
    if (it == items_.end()) return changed;
    ItemState &s = it->second.state;
    const bool wasGood = s.everGood;
    std::vector<bool> present(s.values.size(), false);
    for (const auto &[index, value] : values) {
        const long long at_ = index - it->second.first;
        if (at_ < 0 || at_ >= static_cast<long long>(s.values.size())) continue;  // outside the item
        const size_t i = static_cast<size_t>(at_);
        const double old = s.values[i];
        const bool same = old == value || (std::isnan(old) && std::isnan(value));
        if (!wasGood || !s.present[i] || !same) changed.push_back({index, value});
        s.values[i] = value;
        present[i] = true;
    }
    // A place the station no longer fills has no value.
    for (size_t i = 0; i < present.size(); ++i)
        if (!present[i]) s.values[i] = std::numeric_limits<double>::quiet_NaN();
    s.present = std::move(present);
    s.everGood = true;
    s.goodAt = at;
    s.goodTime = time;
    s.failing = false;
    s.failures = 0;
    ++s.reads;
    return changed;
}

bool Store::failed(const std::string &item, const cli::ErrorTriple &error, const std::string &text, OrvelTime time,
                   Clock::time_point at) {
    std::lock_guard lock(mutex_);
    auto it = items_.find(item);
    if (it == items_.end()) return false;
    ItemState &s = it->second.state;
    const bool news = !s.failing;
    if (news) {
        s.failingSince = at;
        s.failingSinceTime = time;
    }
    s.failing = true;
    s.error = error;
    s.errorText = text;
    if (s.failures < std::numeric_limits<uint32_t>::max()) ++s.failures;
    ++s.reads;
    ++s.failed;
    return news;
}

std::optional<ItemState> Store::get(const std::string &item) const {
    std::lock_guard lock(mutex_);
    auto it = items_.find(item);
    if (it == items_.end()) return std::nullopt;
    return it->second.state;
}

}  // namespace hydrix::serve
