#include "bench/soak/ledger.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

extern "C" {
HostMsg *__real_getMsgFromSapOq(int32_t channel);
int32_t __real_putMsgToSapIq(int32_t channel, HostMsg *msg);
int32_t __real_putMsgToPool(int32_t channel, HostMsg *msg);
int32_t __real_reopenCommHandle(int32_t channel, CommHandle *handle);
}

namespace soak {
namespace {

constexpr uint32_t kTagMark = 0x5A000000u;  // hostWord1 of a soak request: mark | serial
constexpr uint32_t kTagMask = 0xFF000000u;
constexpr time_t kBase = 1767225600;  // 2026-01-01 00:00:00 UTC
constexpr int kHistoryStepMinutes = 7;
constexpr OrvelTime kUnixEpochAsOrvel = 116444736000000000ULL;

thread_local bool hostThread = false;
const auto kStart = std::chrono::steady_clock::now();  // violations carry the time since

time_t toUnix(const hydrix::station::LocalTime &t) {
    tm x{};
    x.tm_year = t.year - 1900;
    x.tm_mon = t.month - 1;
    x.tm_mday = t.day;
    x.tm_hour = t.hour;
    x.tm_min = t.minute;
    return timegm(&x);
}

hydrix::station::LocalTime fromUnix(time_t s) {
    tm x{};
    gmtime_r(&s, &x);
    return {x.tm_year + 1900, x.tm_mon + 1, x.tm_mday, x.tm_hour, x.tm_min};
}

std::string triple(const HostMsg *m) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%u/%u/%u", m->errGroup, m->errCode, m->errSub);
    return buf;
}

std::string describe(const HostMsg *m) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "address 0x%X index %u direction %u length %d errors %s", m->address, m->index,
                  m->direction, m->length, triple(m).c_str());
    return buf;
}

float floatAt(const HostMsg *m, int i) {
    float f;
    std::memcpy(&f, static_cast<const char *>(m->data) + 4 * i, 4);
    return f;
}

int32_t intAt(const HostMsg *m) {
    int32_t v;
    std::memcpy(&v, m->data, 4);
    return v;
}

}  // namespace

// ---- The stations' contents -------------------------------------------------------------

int pictureSize(int picture) { return 10 + 8 * picture; }
int pictureValue(int picture, int n) { return picture * 1000 + n; }

hydrix::station::Picture picture(int p) {
    hydrix::station::Picture pic;
    // header[3] is the v6 split count: above the picture's size, so every value of it
    // carries the picture's number.
    pic.header = {1, 2, 3, 250, 0, 0, 0, 0};
    for (int n = 0; n < pictureSize(p); ++n) pic.values.push_back(pictureValue(p, n));
    return pic;
}

int historyValues(int n) { return 1 + n % 4; }

hydrix::station::HistoryRecord historyRecord(int n) {
    hydrix::station::HistoryRecord r;
    r.time = fromUnix(kBase + static_cast<time_t>(n) * kHistoryStepMinutes * 60);
    for (int j = 1; j <= historyValues(n); ++j) r.values.push_back(n * 10 + j);
    return r;
}

OrvelTime orvel(const hydrix::station::LocalTime &t) {
    return kUnixEpochAsOrvel + static_cast<OrvelTime>(toUnix(t)) * 10000000ULL;
}

OrvelTime historyTime(int n) { return orvel(historyRecord(n).time); }

int historyRecordAt(OrvelTime time) {
    if (time < kUnixEpochAsOrvel) return -1;
    const OrvelTime s = (time - kUnixEpochAsOrvel);
    if (s % 10000000ULL != 0) return -1;
    const int64_t since = static_cast<int64_t>(s / 10000000ULL) - kBase;
    if (since < 0 || since % (kHistoryStepMinutes * 60) != 0) return -1;
    return static_cast<int>(since / (kHistoryStepMinutes * 60));
}

int alarmCode(int channel, int k) { return (channel + 1) * 100000 + k; }

hydrix::station::Alarm alarm(int channel, int k) {
    hydrix::station::Alarm a;
    a.code = alarmCode(channel, k);
    a.time = fromUnix(kBase + static_cast<time_t>(k % 90000) * 60);
    a.flag.assign(1, k % 2 ? 'A' : 'N');  // assign(count, char): g++ 12 -Wrestrict misreads the literal form at -O3
    return a;
}

OrvelTime alarmTime(int code) { return orvel(fromUnix(kBase + static_cast<time_t>((code % 100000) % 90000) * 60)); }

// ---- Books ---------------------------------------------------------------------------

bool ChannelBook::hasEnded(uint32_t tag) const {
    const size_t serial = tag & ~kTagMask;
    return serial < ended.size() && ended[serial];
}

int ChannelBook::pendingRequests() const {
    int n = 0;
    for (const auto &[tag, r] : requests) n += r.ends == 0;
    return n;
}

Ledger &Ledger::get() {
    static Ledger l;
    return l;
}

void Ledger::setChannel(int c, bool v6, int retries) {
    ChannelBook &b = channel(c);
    std::lock_guard lock(b.m);
    b.v6 = v6;
    b.retries = retries;
}

bool Ledger::isRequest(const HostMsg *msg) { return (msg->hostWord1 & kTagMask) == kTagMark; }

void Ledger::issue(int c, HostMsg *msg, const Request &req) {
    ChannelBook &b = channel(c);
    const uint32_t tag = kTagMark | (nextTag_.fetch_add(1) & ~kTagMask);
    msg->hostWord1 = tag;
    std::lock_guard lock(b.m);
    Request &r = b.requests[tag];
    r = req;
    r.tag = tag;
    if (b.v6 && r.kind == Kind::Picture) r.seen.assign(static_cast<size_t>(pictureSize(r.picture)), 0);
    ++b.issued;
}

void Ledger::taken(int c, HostMsg *msg) {
    ChannelBook &b = channel(c);
    std::lock_guard lock(b.m);
    if (!isRequest(msg)) {
        b.current = 0;  // a request the driver raised itself
        return;
    }
    b.current = msg->hostWord1;
    auto it = b.requests.find(msg->hostWord1);
    if (it == b.requests.end()) {
        if (b.hasEnded(msg->hostWord1))
            violation(c, "duplicated",
                      "request " + std::to_string(msg->hostWord1 & ~kTagMask) +
                          " taken from the queue again after it had ended");
        return;
    }
    Request &r = it->second;
    // A history read comes round again after every pass; only a picture's second take
    // is a retry.
    if (r.takes++ > 0 && r.kind == Kind::Picture) ++b.retriesTaken;
}

void Ledger::reopened(int c) {
    ChannelBook &b = channel(c);
    std::lock_guard lock(b.m);
    ++b.reopens;
}

void Ledger::ended(int c, ChannelBook &b, Request &r, HostMsg *msg, bool toPool) {
    const std::string name =
        std::string(r.kind == Kind::Picture ? "picture " + std::to_string(r.picture) : std::string("history")) +
        " request " + std::to_string(r.tag & ~kTagMask);
    ++r.ends;
    const bool failed = !toPool && (msg->errGroup != 0 || msg->errCode != 0);
    if (failed) {
        r.failed = true;
        r.errGroup = msg->errGroup;
        r.errCode = msg->errCode;
        r.errSub = msg->errSub;
        ++b.failed;
        ++b.triples[triple(msg)];
        // The telegram engine retries a failed request at once, at the head of the queue:
        // a picture that fails for good has been tried Retries + 1 times.
        if (!b.v6 && r.kind == Kind::Picture && r.takes != b.retries + 1)
            violation(c, "retries",
                      name + " failed with " + triple(msg) + " after " + std::to_string(r.takes) + " tries, not " +
                          std::to_string(b.retries + 1));
        if (r.takes == 0) violation(c, "retries", name + " failed without being taken");
        return;
    }
    if (toPool && stopping.load()) {
        r.atStop = true;
        ++b.atStop;
        return;
    }
    ++b.done;
    if (r.kind == Kind::History) {
        if (!toPool && !b.v6) violation(c, "unexpected", name + " came back to the host as done: " + describe(msg));
        return;
    }
    if (!b.v6) {
        if (toPool) {
            violation(c, "lost", name + " went back to the pool without an answer while the host ran");
            return;
        }
        int wrong = 0;
        std::string first;
        for (int i = 0; i < r.count; ++i) {
            const float want = static_cast<float>(pictureValue(r.picture, r.first + i));
            const float got = floatAt(msg, i);
            if (got != want && wrong++ == 0) {
                char buf[120];
                std::snprintf(buf, sizeof buf, "value %d is %g, not %g", r.first + i, static_cast<double>(got),
                              static_cast<double>(want));
                first = buf;
            }
        }
        if (wrong)
            violation(c, "wrong value",
                      name + " (values " + std::to_string(r.first) + ".." + std::to_string(r.first + r.count - 1) +
                          ") done with " + std::to_string(wrong) + " wrong values: " + first);
        return;
    }
    // v6 picture, done: every value from 1 on exactly once.
    int missing = 0, twice = 0;
    for (size_t n = 1; n < r.seen.size(); ++n) {
        missing += r.seen[n] == 0;
        twice += r.seen[n] > 1;
    }
    if (missing)
        violation(c, "lost",
                  name + " ended (" + (toPool ? std::string("served") : triple(msg)) + ") with " +
                      std::to_string(missing) + " of its " + std::to_string(r.seen.size() - 1) +
                      " values never delivered");
    if (twice) violation(c, "duplicated", name + ": " + std::to_string(twice) + " values delivered more than once");
}

void Ledger::delivered(int c, HostMsg *msg) {
    ChannelBook &b = channel(c);
    std::lock_guard lock(b.m);
    ++b.delivered;
    msg->hostWord3 = 1;  // seen here on its way to the host
    if (isRequest(msg)) {
        comesBack(c, b, msg, false);
        return;
    }
    if (b.v6)
        deliveredV6(c, b, msg);
    else
        deliveredTelegram(c, b, msg);
}

void Ledger::deliveredTelegram(int c, ChannelBook &b, HostMsg *m) {
    const uint32_t kind = TELEGRAM_KIND(m->address);
    if (kind == KIND_HISTORY && m->direction == DIR_READ_TIME) {
        ++b.timeReports;
        return;
    }
    if (kind == KIND_HISTORY && m->direction == DIR_READ && m->errGroup == 0 && m->errCode == 0) {
        const int n = historyRecordAt(m->timeStamp);
        if (n < 0) {
            violation(c, "wrong value", "history record with a time no record has: " + describe(m));
            return;
        }
        b.lastHistory = std::max(b.lastHistory, n);
        if (++b.historyRecords[n] > 1)
            violation(
                c, "duplicated",
                "history record " + std::to_string(n) + " delivered " + std::to_string(b.historyRecords[n]) + " times");
        if (m->length != 2 * historyValues(n)) {
            violation(c, "wrong value",
                      "history record " + std::to_string(n) + " with length " + std::to_string(m->length));
            return;
        }
        for (int j = 1; j <= historyValues(n); ++j)
            if (floatAt(m, j - 1) != static_cast<float>(n * 10 + j)) {
                violation(c, "wrong value",
                          "history record " + std::to_string(n) + " value " + std::to_string(j) + " is " +
                              std::to_string(floatAt(m, j - 1)));
                break;
            }
        b.values += historyValues(n);
        return;
    }
    if (kind == KIND_ALARMS && m->errGroup == 0 && m->errCode == 0) {
        const int code = static_cast<int>(m->index);
        if (++b.alarms[code] > 1)
            violation(c, "duplicated",
                      "alarm " + std::to_string(code) + " delivered " + std::to_string(b.alarms[code]) + " times");
        if (code / 100000 != c + 1)
            violation(c, "misplaced", "alarm " + std::to_string(code) + " of another station");
        else if (m->timeStamp != alarmTime(code))
            violation(c, "wrong value", "alarm " + std::to_string(code) + " with the wrong time");
        return;
    }
    if (kind == KIND_ALARMS) {  // the call-in's alarm read, failed for good
        ++b.alarmReadsEnded;
        ++b.ownFailed;
        ++b.triples["alarm read " + triple(m)];
        return;
    }
    violation(c, "unexpected", "message the soak never asked for: " + describe(m));
}

void Ledger::deliveredV6(int c, ChannelBook &b, HostMsg *m) {
    const uint32_t code = m->address & 0xFFFF;
    if (code == 9 || code == 11) {
        const int pic = static_cast<int>((m->address >> 16) & 0xFF);
        const int n = static_cast<int>(m->index / 2);
        ++b.values;
        auto it = b.requests.find(b.current);
        if (code == 11 || it == b.requests.end() || it->second.kind != Kind::Picture) {
            violation(c, "misplaced",
                      "picture value " + std::to_string(intAt(m)) + " (" + describe(m) +
                          ") while no picture request of that number was served");
            return;
        }
        Request &r = it->second;
        if (pic != r.picture || n <= 0 || n >= pictureSize(pic) || intAt(m) != pictureValue(pic, n)) {
            violation(c, "misplaced",
                      "picture " + std::to_string(r.picture) + " request got value " + std::to_string(intAt(m)) +
                          " as value " + std::to_string(n) + " of picture " + std::to_string(pic));
            return;
        }
        ++r.seen[static_cast<size_t>(n)];
        return;
    }
    if (code == 8 && m->direction == DIR_READ_TIME) {
        ++b.timeReports;
        return;
    }
    if (code == 8 && m->direction == DIR_READ && m->errGroup == 0 && m->errCode == 0) {
        const int n = historyRecordAt(m->timeStamp);
        const int j = static_cast<int>(m->index / 2);
        if (n < 0 || j < 1 || j > historyValues(n)) {
            violation(c, "wrong value",
                      "history value " + std::to_string(intAt(m)) + " (" + describe(m) +
                          ") with a time or place no record has");
            return;
        }
        ++b.values;
        if (intAt(m) != n * 10 + j)
            violation(c, "wrong value",
                      "history record " + std::to_string(n) + " value " + std::to_string(j) + " is " +
                          std::to_string(intAt(m)));
        auto &seen = b.historyValues[n];
        if (seen.empty()) seen.assign(static_cast<size_t>(historyValues(n) + 1), 0);
        b.lastHistory = std::max(b.lastHistory, n);
        if (++seen[static_cast<size_t>(j)] > 1)
            violation(c, "duplicated",
                      "history record " + std::to_string(n) + " value " + std::to_string(j) + " delivered " +
                          std::to_string(seen[static_cast<size_t>(j)]) + " times");
        return;
    }
    if (m->errGroup != 0 || m->errCode != 0) {  // one of the engine's own requests, failed for good
        ++b.ownFailed;
        ++b.triples["own request " + std::to_string(code) + " " + triple(m)];
        return;
    }
    violation(c, "unexpected", "message the soak never asked for: " + describe(m));
}

void Ledger::pooled(int c, HostMsg *msg) {
    ChannelBook &b = channel(c);
    std::lock_guard lock(b.m);
    if (!isRequest(msg)) {
        if (!b.v6 && TELEGRAM_KIND(msg->address) == KIND_ALARMS && msg->direction == DIR_READ && msg->index == 0)
            ++b.alarmReadsEnded;  // the call-in's alarm read: ALN reached
        return;
    }
    comesBack(c, b, msg, true);
}

void Ledger::comesBack(int c, ChannelBook &b, HostMsg *msg, bool toPool) {
    const uint32_t tag = msg->hostWord1;
    auto it = b.requests.find(tag);
    if (it == b.requests.end()) {
        if (b.hasEnded(tag))
            violation(c, "duplicated",
                      "request " + std::to_string(tag & ~kTagMask) + " came back again (" +
                          (toPool ? std::string("to the pool") : "on the input queue with " + triple(msg)) +
                          ") after it had ended");
        else
            violation(c, "unexpected", "a request the soak never issued came back: " + describe(msg));
        return;
    }
    ended(c, b, it->second, msg, toPool);
    // Ended requests are forgotten but for one bit, so a long run keeps its size.
    const size_t serial = tag & ~kTagMask;
    if (b.ended.size() <= serial) b.ended.resize(serial + 4096, false);
    b.ended[serial] = true;
    b.requests.erase(it);
}

void Ledger::violation(int c, const std::string &kind, const std::string &text) {
    const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - kStart).count();
    std::lock_guard lock(vm_);
    ++violationCounts_[kind];
    if (violations_.size() < 20000) violations_.push_back({at, c, kind, text});
}

std::vector<Violation> Ledger::violations() {
    std::lock_guard lock(vm_);
    return violations_;
}

std::map<std::string, int64_t> Ledger::violationCounts() {
    std::lock_guard lock(vm_);
    return violationCounts_;
}

void markHostThread() { hostThread = true; }

HostMsg *realGetMsgFromSapOq(int32_t channel) { return __real_getMsgFromSapOq(channel); }
int32_t realPutMsgToPool(int32_t channel, HostMsg *msg) { return __real_putMsgToPool(channel, msg); }

}  // namespace soak

// ---- The driver's calls, booked on their way to the runtime ----------------------------

extern "C" HostMsg *__wrap_getMsgFromSapOq(int32_t channel) {
    HostMsg *msg = __real_getMsgFromSapOq(channel);
    // The host's threads only peek (canDisconnect puts the message straight back).
    if (msg && !soak::hostThread && channel >= 0 && channel < HYDRIX_CHANNELS) soak::Ledger::get().taken(channel, msg);
    return msg;
}

extern "C" int32_t __wrap_putMsgToSapIq(int32_t channel, HostMsg *msg) {
    if (msg && channel >= 0 && channel < HYDRIX_CHANNELS) soak::Ledger::get().delivered(channel, msg);
    return __real_putMsgToSapIq(channel, msg);
}

extern "C" int32_t __wrap_putMsgToPool(int32_t channel, HostMsg *msg) {
    if (msg && channel >= 0 && channel < HYDRIX_CHANNELS) soak::Ledger::get().pooled(channel, msg);
    return __real_putMsgToPool(channel, msg);
}

extern "C" int32_t __wrap_reopenCommHandle(int32_t channel, CommHandle *handle) {
    if (channel >= 0 && channel < HYDRIX_CHANNELS) soak::Ledger::get().reopened(channel);
    return __real_reopenCommHandle(channel, handle);
}
