// The host's books of a soak run: every request the soak puts on a channel's output
// queue, every message the driver hands back, and what each should hold. The driver's
// queue and pool calls pass through the wrappers in ledger.cpp (linked with
// -Wl,--wrap), so each message is booked in the order the driver handed it on.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/hydrix_host.h"
#include "station/station.h"

namespace soak {

// ---- What the stations hold, so that every value names its own place ------------------

constexpr int kPictures = 6;           // pictures 1..6
int pictureSize(int picture);          // values in the picture (value 0 included)
int pictureValue(int picture, int n);  // value n of the picture
hydrix::station::Picture picture(int picture);

// History record n: stamped every 7 minutes from 2026-01-01 00:00 (local time, the soak
// runs in UTC), 1 to 4 values, value j (from 1) = n * 10 + j.
hydrix::station::HistoryRecord historyRecord(int n);
OrvelTime historyTime(int n);
int historyRecordAt(OrvelTime time);  // -1 when no record has that time
int historyValues(int n);

// Alarms: code (channel + 1) * 100000 + k, stamped k minutes after the history's start.
int alarmCode(int channel, int k);
hydrix::station::Alarm alarm(int channel, int k);
OrvelTime alarmTime(int code);

OrvelTime orvel(const hydrix::station::LocalTime &t);

// ---- Requests and what became of them -------------------------------------------------

enum class Kind { Picture, History };

struct Request {
    uint32_t tag = 0;
    Kind kind = Kind::Picture;
    int picture = 0, first = 0, count = 0;  // telegram pictures: the value range asked for
    int takes = 0;                          // times the driver took it from the queue
    int ends = 0;                           // times it came back (1 is right)
    bool failed = false, atStop = false;
    uint32_t errGroup = 0, errCode = 0, errSub = 0;
    std::vector<uint8_t> seen;  // v6 pictures: deliveries per value number
};

struct Violation {
    double at;  // seconds since the soak started
    int channel;
    std::string kind;  // "lost", "duplicated", "wrong value", "misplaced", ...
    std::string text;
};

struct ChannelBook {
    std::mutex m;
    bool v6 = false;
    int retries = 3;
    std::unordered_map<uint32_t, Request> requests;  // issued and not yet ended
    std::vector<bool> ended;                         // by tag serial: requests that have ended
    bool hasEnded(uint32_t tag) const;
    uint32_t current = 0;  // v6: the request its channel thread took last
    int64_t issued = 0, done = 0, failed = 0, atStop = 0, retriesTaken = 0, reopens = 0;
    int64_t delivered = 0, readByHost = 0, values = 0, timeReports = 0, ownFailed = 0;
    int64_t alarmReadsEnded = 0;                        // telegram: the call-in's alarm read finished
    std::map<std::string, int64_t> triples;             // "g/c/s" of failed requests
    std::map<int, int> historyRecords;                  // telegram: deliveries per record
    std::map<int, std::vector<uint8_t>> historyValues;  // v6: deliveries per record and value
    int lastHistory = -1;                               // highest record delivered so far
    std::map<int, int> alarms;                          // telegram: deliveries per alarm code
    int pendingRequests() const;                        // issued, not yet ended (under m)
};

class Ledger {
public:
    static Ledger &get();
    void setChannel(int channel, bool v6, int retries);
    ChannelBook &channel(int c) { return books_[static_cast<size_t>(c)]; }

    // A new request for the output queue: fills its tag and books it.
    void issue(int channel, HostMsg *msg, const Request &r);
    // Called by the wrappers.
    void taken(int channel, HostMsg *msg);
    void delivered(int channel, HostMsg *msg);
    void pooled(int channel, HostMsg *msg);
    void reopened(int channel);

    void violation(int channel, const std::string &kind, const std::string &text);
    std::vector<Violation> violations();
    std::map<std::string, int64_t> violationCounts();

    std::atomic<bool> stopping{false};  // drvStop has been called

    static bool isRequest(const HostMsg *msg);

private:
    void deliveredTelegram(int c, ChannelBook &b, HostMsg *msg);
    void deliveredV6(int c, ChannelBook &b, HostMsg *msg);
    void ended(int c, ChannelBook &b, Request &r, HostMsg *msg, bool toPool);
    // A request coming back: ends it (and forgets it) or books the second return.
    void comesBack(int c, ChannelBook &b, HostMsg *msg, bool toPool);

    ChannelBook books_[HYDRIX_CHANNELS];
    std::atomic<uint32_t> nextTag_{1};
    std::mutex vm_;
    std::vector<Violation> violations_;
    std::map<std::string, int64_t> violationCounts_;
};

// Marks the calling thread as one of the host's; the driver's own threads are not.
void markHostThread();

// The runtime's own services, past the soak's wrappers: for the host's side of the soak.
HostMsg *realGetMsgFromSapOq(int32_t channel);
int32_t realPutMsgToPool(int32_t channel, HostMsg *msg);

}  // namespace soak
