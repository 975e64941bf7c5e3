// One telegram exchange at a time per channel: the worker and the host's calls into the
// event hooks share the channel's buffers and its line. When both wait, the host's call
// goes first, so a busy queue cannot keep a connection event waiting for long.
#pragma once
#include <cstdint>

namespace tg {

enum class ExchangeSide { Worker, Host };

void lockExchange(uint32_t channel, ExchangeSide side);
// The host's side, waiting at most `ms` milliseconds; false when the lock stayed taken.
bool tryLockExchange(uint32_t channel, uint32_t ms);
void unlockExchange(uint32_t channel);
// Sleeps `ms`; when the calling thread holds the channel's lock, it gives the lock up for
// the sleep and takes it back (as the worker) afterwards.
void sleepOffLine(uint32_t channel, uint32_t ms);

class ExchangeGuard {
public:
    ExchangeGuard(uint32_t channel, ExchangeSide side) : channel_(channel) { lockExchange(channel_, side); }
    ~ExchangeGuard() { unlockExchange(channel_); }
    ExchangeGuard(const ExchangeGuard &) = delete;
    ExchangeGuard &operator=(const ExchangeGuard &) = delete;

private:
    uint32_t channel_;
};

}  // namespace tg
