// The latest value of every item the gateway reads: the values, when they arrived, and
// a quality: good, or the error of the last failed read and since when it fails. The
// poller writes it, the front ends read copies of it; nobody waits on a line for it.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "errors.h"
#include "host/hydrix_host.h"

namespace hydrix::serve {

using Clock = std::chrono::steady_clock;

struct ItemState {
    std::vector<double> values;  // NaN where the station gave no number
    std::vector<bool> present;   // a value arrived at this place in the last good read
    bool everGood = false;
    Clock::time_point goodAt{};        // the last good read
    OrvelTime goodTime = 0;            // the same as a time of day
    bool failing = false;              // the last read failed
    cli::ErrorTriple error;            // of the last failed read (all 0 when the tool
    std::string errorText;             //  saw the failure but the driver gave no triple)
    Clock::time_point failingSince{};  // the first failure of the current run of them
    OrvelTime failingSinceTime = 0;
    uint32_t failures = 0;           // failed reads in a row
    uint64_t reads = 0, failed = 0;  // all reads, all failed reads
};

// Quality codes, as the Modbus status block carries them.
enum class Quality : uint16_t { Good = 0, NeverRead = 1, Failing = 2, Stale = 3 };

// The quality of an item at `now`: never read; stale when its last good value is older
// than `staleLimit` seconds; failing when the last read failed (its last value still
// young enough); else good.
Quality qualityOf(const ItemState &state, Clock::time_point now, double staleLimit);

class Store {
public:
    // Makes the item known (keeps its state when it is known already) with `count` values
    // starting at number `first`.
    void declare(const std::string &item, int first, int count);
    // Forgets every item not in the list (the item list was reread).
    void keepOnly(const std::vector<std::string> &items);
    // A good read: value numbers and values. Returns the values that changed.
    std::vector<std::pair<long long, double>> good(const std::string &item,
                                                   const std::vector<std::pair<long long, double>> &values,
                                                   OrvelTime time, Clock::time_point at);
    // A failed read: the error and its text. Returns true when the item was good before
    // (the failure is news to log).
    bool failed(const std::string &item, const cli::ErrorTriple &error, const std::string &text, OrvelTime time,
                Clock::time_point at);
    std::optional<ItemState> get(const std::string &item) const;

private:
    struct Entry {
        int first = 0;
        ItemState state;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Entry> items_;
};

}  // namespace hydrix::serve
