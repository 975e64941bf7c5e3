// The poller: one thread per channel, which reads the channel's items when they are due,
// fetches alarms and history of its listed stations, and carries out the writes the
// front ends hand it for its stations. Channels never wait for each other: a silent
// station delays only its own line. Front ends never wait for a read; a write waits for
// the station's answer, and only the client that asked for it.
#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "cause.h"
#include "host.h"
#include "serve_config.h"
#include "store.h"

namespace hydrix::serve {

// One line of the gateway's log on stderr ("hydrix serve: " and the text).
void logLine(const std::string &text);

struct WriteResult {
    bool ok = false;
    std::string text;                     // what happened, for the log
    cli::Cause cause = cli::Cause::None;  // why it failed
};

// What the poller tells the publishers.
struct Sinks {
    // Values that changed in a good read of the item (value number, value).
    std::function<void(const Item &, const std::vector<std::pair<long long, double>> &, OrvelTime)> changed;
    // Alarm and history records as the driver delivered them (never failures). False: they
    // were not stored (the outbox failed); alarms then stay at the station where the
    // engine allows, history is fetched again from the same point.
    std::function<bool(const StationTask &, const cli::Records &)> alarms, history;
    // Whether alarms and history can be stored now; false with the reason when not (an
    // outbox fault, or full): the fetch waits and the station keeps them.
    std::function<bool(std::string *why)> storable;
    // An item's quality changes: its reads start failing (with the error as JSON, since
    // when), its last good value grows stale, or it reads again; lastGood: the time of its
    // last good read.
    std::function<void(const Item &, Quality, const std::string &errorJson, OrvelTime since, OrvelTime lastGood)>
        status;
    // How the last request on a channel's line ended, when that changes.
    std::function<void(int channel, bool online)> line;
    // Whether a station answers: at its first request, and whenever that changes (it
    // stops answering when a request to it ends as the line going down would).
    std::function<void(int channel, uint32_t node, bool answering)> station;
    // Every request on a line that ended (not one a stop interrupted): how long it took,
    // and why it failed (None: it did not).
    std::function<void(int channel, double seconds, cli::Cause cause)> request;
};

class Scheduler {
public:
    Scheduler(cli::Host &host, const cli::Config &config, Store &store, Sinks sinks);
    ~Scheduler();
    // Starts a thread for each channel of the profile, with the section's work.
    void start(const ServeConfig &serve);
    // A new item list (SIGHUP): items keep their values when they stay.
    void replace(const ServeConfig &serve);
    // Stops the threads; a request under way ends at the driver's next answer or at once
    // when the process is being stopped.
    void stop();
    // A write through the driver (What::WriteSetpoint or What::Command), done before the
    // next read; the future holds the station's answer.
    std::future<WriteResult> submit(const cli::Query &query);
    // Where a station's next history fetch starts (resumed from the outbox), instead of
    // the section's start.
    void resumeHistory(int channel, uint32_t node, OrvelTime after);
    // The alarm taken last from a station (its identity), by an earlier run.
    void resumeAlarms(int channel, uint32_t node, const std::string &identity);
    // Whether every channel's thread came round (or saw a long read make progress) within
    // `within`: the lines are being served. What feeds the service's watchdog.
    bool linesServed(Clock::duration within) const;
    // The channels whose thread did not come round within `within`.
    std::vector<int> linesLate(Clock::duration within) const;

private:
    struct Task {
        enum Kind { Read, Alarms, History } kind = Read;
        Item item;
        StationTask station;
        Clock::time_point due{};
        bool failing = false;
        bool held = false;   // alarms or history not fetched: nowhere to store them
        bool stale = false;  // said to be stale
        int channel() const { return kind == Read ? item.query.target.channel : station.channel; }
        bool same(const Task &o) const {
            return kind == o.kind &&
                   (kind == Read ? item.name == o.item.name
                                 : station.channel == o.station.channel && station.node == o.station.node);
        }
    };
    struct Write {
        cli::Query query;
        std::promise<WriteResult> done;
    };
    void run(int channel);
    void lineEnded(int channel, uint32_t node, const cli::Records &records, Clock::time_point started);
    void runRead(Task &t);
    void runAlarms(Task &t);
    void runHistory(Task &t);
    bool canStore(Task &t, const char *what);
    WriteResult runWrite(const cli::Query &q);
    std::vector<Task> makeTasks(const ServeConfig &serve);

    cli::Host &host_;
    const cli::Config &config_;
    Store &store_;
    Sinks sinks_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Task> tasks_;
    std::deque<Write> writes_;
    std::vector<int> channels_;  // those with a thread
    std::map<std::pair<int, uint32_t>, OrvelTime> historyFrom_;
    std::map<std::pair<int, uint32_t>, std::string> lastAlarm_;
    // Alarms the driver delivered (and the station let go of) that could not be stored
    // yet: stored before the station's next alarm fetch, and only then is it fetched.
    std::map<std::pair<int, uint32_t>, cli::Records> unstored_;
    OrvelTime historyStart_ = 0;
    double staleAfter_ = 0;  // ServeConfig::staleAfter
    bool stopping_ = false;
    std::array<std::optional<bool>, HYDRIX_CHANNELS> lineOnline_;      // each by its channel's thread
    std::array<std::map<uint32_t, bool>, HYDRIX_CHANNELS> answering_;  // by node, likewise
    std::vector<std::thread> threads_;
    std::array<std::atomic<int64_t>, HYDRIX_CHANNELS> heartbeat_{};  // steady clock ns, per channel
    void beat(int channel);
};

}  // namespace hydrix::serve
