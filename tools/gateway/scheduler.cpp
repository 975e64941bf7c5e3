#include "scheduler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "output.h"
#include "times.h"

namespace hydrix::serve {

void logLine(const std::string &text) {
    // One write per line: lines of several threads never mix.
    const std::string line = "hydrix serve: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

namespace {

std::string itemLabel(const Item &item) { return item.name; }

std::string stationLabel(const StationTask &s) {
    return "channel " + std::to_string(s.channel) + " node " + std::to_string(s.node);
}

const cli::Record *firstFailure(const cli::Records &records) {
    for (const cli::Record &r : records)
        if (r.failed() && !r.interrupted) return &r;
    return nullptr;
}

bool interrupted(const cli::Records &records) {
    for (const cli::Record &r : records)
        if (r.interrupted) return true;
    return false;
}

std::chrono::nanoseconds seconds(double s) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(s));
}

}  // namespace

Scheduler::Scheduler(cli::Host &host, const cli::Config &config, Store &store, Sinks sinks)
    : host_(host), config_(config), store_(store), sinks_(std::move(sinks)) {}

Scheduler::~Scheduler() { stop(); }

std::vector<Scheduler::Task> Scheduler::makeTasks(const ServeConfig &serve) {
    std::vector<Task> tasks;
    const auto now = Clock::now();
    for (const Item &item : serve.items) {
        Task t;
        t.item = item;
        t.due = now;
        tasks.push_back(t);
        store_.declare(item.name, item.first, item.count);
    }
    for (const auto &[kind, stations] :
         {std::pair{Task::Alarms, &serve.alarms}, std::pair{Task::History, &serve.history}})
        for (const StationTask &s : *stations) {
            Task t;
            t.kind = kind;
            t.station = s;
            t.due = now;
            tasks.push_back(t);
        }
    return tasks;
}

void Scheduler::start(const ServeConfig &serve) {
    historyStart_ = serve.historyFrom;
    staleAfter_ = serve.staleAfter;
    tasks_ = makeTasks(serve);
    for (const cli::ChannelConfig &c : config_.channels) channels_.push_back(c.number);
    for (int channel : channels_) beat(channel);
    for (int channel : channels_) threads_.emplace_back([this, channel] { run(channel); });
}

void Scheduler::replace(const ServeConfig &serve) {
    std::vector<Task> tasks = makeTasks(serve);
    std::vector<std::string> names;
    for (const Item &item : serve.items) names.push_back(item.name);
    store_.keepOnly(names);
    std::lock_guard lock(mutex_);
    staleAfter_ = serve.staleAfter;
    // Items that stay keep their place in time. A read under way on the old list puts its
    // next time into the new one when it ends.
    for (Task &fresh : tasks)
        for (const Task &old : tasks_)
            if (fresh.kind == Task::Read && fresh.same(old)) {
                fresh.due = old.due;
                fresh.failing = old.failing;
                fresh.stale = old.stale;
            }
    tasks_ = std::move(tasks);
    wake_.notify_all();
}

void Scheduler::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    for (std::thread &t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
    // Alarms the driver let go of that the outbox never took: a last try, and what still
    // fails is written out whole, the only place it is then.
    std::map<std::pair<int, uint32_t>, cli::Records> unstored;
    {
        std::lock_guard lock(mutex_);
        unstored.swap(unstored_);
    }
    for (const auto &[key, alarms] : unstored) {
        const StationTask station{key.first, key.second, 0};
        if (sinks_.alarms && sinks_.alarms(station, alarms)) continue;
        for (const cli::Record &r : alarms)
            logLine(stationLabel(station) + ": alarm " + std::to_string(r.index.value_or(0)) + " " +
                    cli::valueText(r.value) + " at " + cli::isoUtc(r.time) + " LOST: the outbox never took it");
    }
    std::lock_guard lock(mutex_);
    for (Write &w : writes_) w.done.set_value({false, "the gateway is stopping", cli::Cause::Interrupted});
    writes_.clear();
}

std::future<WriteResult> Scheduler::submit(const cli::Query &query) {
    std::lock_guard lock(mutex_);
    Write w;
    w.query = query;
    auto future = w.done.get_future();
    if (stopping_) {
        w.done.set_value({false, "the gateway is stopping", cli::Cause::Interrupted});
        return future;
    }
    if (std::find(channels_.begin(), channels_.end(), query.target.channel) == channels_.end()) {
        w.done.set_value({false, "channel " + std::to_string(query.target.channel) + " is not in the profile",
                          cli::Cause::BadRequest});
        return future;
    }
    writes_.push_back(std::move(w));
    wake_.notify_all();
    return future;
}

void Scheduler::resumeHistory(int channel, uint32_t node, OrvelTime after) {
    std::lock_guard lock(mutex_);
    historyFrom_[{channel, node}] = after;
}

void Scheduler::resumeAlarms(int channel, uint32_t node, const std::string &identity) {
    std::lock_guard lock(mutex_);
    lastAlarm_[{channel, node}] = identity;
}

void Scheduler::beat(int channel) {
    if (channel >= 0 && channel < HYDRIX_CHANNELS) heartbeat_[channel].store(Clock::now().time_since_epoch().count());
}

std::vector<int> Scheduler::linesLate(Clock::duration within) const {
    const auto now = Clock::now().time_since_epoch().count();
    std::vector<int> late;
    for (int channel : channels_)
        if (channel >= 0 && channel < HYDRIX_CHANNELS && now - heartbeat_[channel].load() > within.count())
            late.push_back(channel);
    return late;
}

bool Scheduler::linesServed(Clock::duration within) const { return linesLate(within).empty(); }

void Scheduler::run(int channel) {
    std::unique_lock lock(mutex_);
    while (!stopping_ && !cli::stopRequested.load()) {
        beat(channel);
        auto write = std::find_if(writes_.begin(), writes_.end(),
                                  [channel](const Write &w) { return w.query.target.channel == channel; });
        if (write != writes_.end()) {
            Write w = std::move(*write);
            writes_.erase(write);
            lock.unlock();
            WriteResult result = runWrite(w.query);
            w.done.set_value(result);
            lock.lock();
            continue;
        }
        Task *next = nullptr;
        for (Task &t : tasks_)
            if (t.channel() == channel && (!next || t.due < next->due)) next = &t;
        const auto now = Clock::now();
        if (!next || next->due > now) {
            // Wake for the next task, a write, a new list or the stop (at least every
            // 200 ms: a signal sets its flag without notifying).
            auto until = now + std::chrono::milliseconds(200);
            if (next && next->due < until) until = next->due;
            wake_.wait_until(lock, until);
            continue;
        }
        Task task = *next;  // a copy: a new list may come while it runs
        lock.unlock();
        const auto started = Clock::now();
        switch (task.kind) {
        case Task::Read:
            runRead(task);
            break;
        case Task::Alarms:
            runAlarms(task);
            break;
        case Task::History:
            runHistory(task);
            break;
        }
        const double every = task.kind == Task::Read ? task.item.every : task.station.every;
        // The next read is due one interval after this one started; a read that took
        // longer than its interval runs again at once, behind whatever else is due.
        task.due = started + seconds(every);
        lock.lock();
        for (Task &t : tasks_)
            if (t.same(task)) {
                t.due = task.due;
                t.failing = task.failing;
                t.held = task.held;
                t.stale = task.stale;
            }
    }
}

// A line is offline when its station did not answer at all: no reply in time or a port
// that failed. A station that answers "no data" is online.
void Scheduler::lineEnded(int channel, uint32_t node, const cli::Records &records, Clock::time_point started) {
    bool online = true;
    const cli::Record *bad = firstFailure(records);
    if (bad) online = !cli::lineDown(bad->cause);
    if (sinks_.request)
        sinks_.request(channel, std::chrono::duration<double>(Clock::now() - started).count(),
                       bad ? bad->cause : cli::Cause::None);
    if (channel < 0 || channel >= HYDRIX_CHANNELS) return;
    // The station itself: answering unless the line's failure says it did not.
    auto [known, inserted] = answering_[channel].try_emplace(node, online);
    if (inserted || known->second != online) {
        known->second = online;
        if (sinks_.station) sinks_.station(channel, node, online);
    }
    if (lineOnline_[channel] == online) return;
    lineOnline_[channel] = online;
    logLine("channel " + std::to_string(channel) + ": line " + (online ? "online" : "offline"));
    if (sinks_.line) sinks_.line(channel, online);
}

static std::string errorJson(const cli::Record &r) {
    const cli::ErrorTriple e = r.error.value_or(cli::ErrorTriple{});
    std::string text;
    for (unsigned char c : r.errorText)
        if (c >= 0x20 && c != '"' && c != '\\') text += static_cast<char>(c);
    return "{\"group\":" + std::to_string(e.group) + ",\"code\":" + std::to_string(e.code) +
           ",\"sub\":" + std::to_string(e.sub) + ",\"cause\":\"" + cli::causeKey(r.cause) + "\",\"text\":\"" + text +
           "\"}";
}

void Scheduler::runRead(Task &t) {
    const Item &item = t.item;
    const cli::ChannelConfig *channel = config_.channel(item.query.target.channel);
    if (!channel) return;
    const auto started = Clock::now();
    cli::Records records = cli::runQuery(host_, *channel, item.query, {});
    if (interrupted(records)) return;  // the gateway is stopping: not a failure of the line
    lineEnded(item.query.target.channel, item.query.target.node, records, started);
    const auto at = Clock::now();
    const OrvelTime now = cli::orvelNow();
    if (const cli::Record *bad = firstFailure(records)) {
        const cli::ErrorTriple error = bad->error.value_or(cli::ErrorTriple{});
        const bool news = store_.failed(item.name, error, bad->errorText, now, at) || !t.failing;
        const auto state = store_.get(item.name);
        const OrvelTime lastGood = state ? state->goodTime : 0;
        if (news) {
            logLine(itemLabel(item) + ": read failed: " + cli::errorField(*bad));
            if (sinks_.status) sinks_.status(item, Quality::Failing, errorJson(*bad), now, lastGood);
        }
        t.failing = true;
        ServeConfig rule;
        {
            std::lock_guard lock(mutex_);
            rule.staleAfter = staleAfter_;
        }
        const double limit = rule.staleLimit(item);
        if (!t.stale && state && qualityOf(*state, at, limit) == Quality::Stale) {
            t.stale = true;
            logLine(itemLabel(item) + ": its last good values are stale now");
            if (sinks_.status) sinks_.status(item, Quality::Stale, "", now, lastGood);
        }
        return;
    }
    std::vector<std::pair<long long, double>> values;
    for (const cli::Record &r : records) {
        if (!r.index) continue;
        double v = std::nan("");
        if (const double *d = std::get_if<double>(&r.value))
            v = *d;
        else if (const long long *l = std::get_if<long long>(&r.value))
            v = static_cast<double>(*l);
        values.push_back({*r.index, v});
    }
    auto changed = store_.good(item.name, values, now, at);
    if (!changed.empty() && sinks_.changed) sinks_.changed(item, changed, now);
    if (t.failing) {
        logLine(itemLabel(item) + ": reads again (" + std::to_string(values.size()) + " values)");
        if (sinks_.status) sinks_.status(item, Quality::Good, "", now, now);
    }
    t.failing = false;
    t.stale = false;
}

// Whether the station's alarms or history can go anywhere now; says so once when not.
bool Scheduler::canStore(Task &t, const char *what) {
    std::string why;
    if (!sinks_.storable || sinks_.storable(&why)) {
        if (t.held) logLine(stationLabel(t.station) + ": " + what + ": the outbox takes them again");
        t.held = false;
        return true;
    }
    if (!t.held) logLine(stationLabel(t.station) + ": " + what + " not fetched (" + why + "): the station keeps them");
    t.held = true;
    return false;
}

void Scheduler::runAlarms(Task &t) {
    const cli::ChannelConfig *channel = config_.channel(t.station.channel);
    if (!channel) return;
    const StationTask station = t.station;
    const std::pair<int, uint32_t> key{station.channel, station.node};
    // Alarms the driver let go of before the outbox failed come first.
    cli::Records waiting;
    {
        std::lock_guard lock(mutex_);
        waiting = unstored_[key];
    }
    if (!waiting.empty()) {
        if (!sinks_.alarms(station, waiting)) return;
        logLine(stationLabel(station) + ": " + std::to_string(waiting.size()) + " alarm(s) held in memory now stored");
        std::lock_guard lock(mutex_);
        unstored_.erase(key);
    }
    if (!canStore(t, "alarms")) return;
    cli::Query q;
    q.what = cli::What::Alarms;
    q.target = {t.station.channel, t.station.node};
    // The station forgets an alarm once it is acknowledged: each one is stored the moment
    // it arrives (a gateway killed in the middle of a fetch keeps what came before), and
    // said after. One the station shows again after a restart, because our acknowledgement
    // did not reach it, was stored already.
    {
        std::lock_guard lock(mutex_);
        q.lastAlarm = lastAlarm_[key];
    }
    const bool driverAcknowledges = channel->engine == cli::Engine::Telegram;
    q.onAlarm = [this, station, key, driverAcknowledges](const cli::Record &r) {
        const std::string identity = cli::alarmIdentity(r);
        {
            std::lock_guard lock(mutex_);
            // On a v6 line the gateway reads the station's ALR lines itself and compares
            // every field. The telegram engine hands on code, state and time only, and
            // itself never hands on a line that repeats the one it acknowledged: two
            // alarms that agree in those three are two alarms there, never dropped here.
            if (!driverAcknowledges && identity == lastAlarm_[key]) {
                logLine(stationLabel(station) + ": alarm " + std::to_string(r.index.value_or(0)) +
                        " shown again by the station: taken before, not again");
                return true;
            }
        }
        if (sinks_.alarms && !sinks_.alarms(station, {r})) {
            if (!driverAcknowledges) return false;  // no ALO: the station keeps it
            // The driver has let go of it already: kept in memory until the outbox takes it.
            std::lock_guard lock(mutex_);
            unstored_[key].push_back(r);
            lastAlarm_[key] = identity;
            logLine(stationLabel(station) + ": alarm " + std::to_string(r.index.value_or(0)) +
                    " held in memory until the outbox takes it");
            return true;
        }
        {
            std::lock_guard lock(mutex_);
            lastAlarm_[key] = identity;
        }
        logLine(stationLabel(station) + ": alarm " + std::to_string(r.index.value_or(0)) + " " +
                cli::valueText(r.value) + " at " + cli::isoUtc(r.time));
        return true;
    };
    const auto started = Clock::now();
    cli::Records records = cli::runQuery(host_, *channel, q, {});
    if (!interrupted(records)) lineEnded(t.station.channel, t.station.node, records, started);
    if (interrupted(records)) return;
    const cli::Record *bad = firstFailure(records);
    if (bad && !t.failing) logLine(stationLabel(t.station) + ": alarms: " + cli::errorField(*bad));
    if (!bad && t.failing) logLine(stationLabel(t.station) + ": alarms read again");
    t.failing = bad != nullptr;
}

void Scheduler::runHistory(Task &t) {
    const cli::ChannelConfig *channel = config_.channel(t.station.channel);
    if (!channel) return;
    if (!canStore(t, "history")) return;
    cli::Query q;
    q.what = cli::What::History;
    q.target = {t.station.channel, t.station.node};
    {
        std::lock_guard lock(mutex_);
        auto it = historyFrom_.find({t.station.channel, t.station.node});
        q.from = it != historyFrom_.end() ? it->second : historyStart_;
    }
    // A long fetch is progress too: each report of it keeps the line counted as served.
    const int line = t.station.channel;
    const auto started = Clock::now();
    cli::Records records = cli::runQuery(host_, *channel, q, [this, line](long, OrvelTime) { beat(line); });
    if (!interrupted(records)) lineEnded(t.station.channel, t.station.node, records, started);
    cli::Records history;
    OrvelTime last = q.from;
    for (const cli::Record &r : records)
        if (!r.failed()) {
            history.push_back(r);
            last = std::max(last, r.time);
        }
    // The resume point moves only once the records are stored: else they are fetched again.
    if (!history.empty() && (!sinks_.history || sinks_.history(t.station, history))) {
        {
            std::lock_guard lock(mutex_);
            historyFrom_[{t.station.channel, t.station.node}] = last;
        }
        logLine(stationLabel(t.station) + ": history: " + std::to_string(history.size()) + " values up to " +
                cli::isoUtc(last));
    }
    if (interrupted(records)) return;
    const cli::Record *bad = firstFailure(records);
    if (bad && !t.failing) logLine(stationLabel(t.station) + ": history: " + cli::errorField(*bad));
    if (!bad && t.failing) logLine(stationLabel(t.station) + ": history read again");
    t.failing = bad != nullptr;
}

WriteResult Scheduler::runWrite(const cli::Query &q) {
    const cli::ChannelConfig *channel = config_.channel(q.target.channel);
    if (!channel) return {false, "unknown channel", cli::Cause::BadRequest};
    cli::Records records = cli::runQuery(host_, *channel, q, {});
    const std::string what = "channel " + std::to_string(q.target.channel) + " node " + std::to_string(q.target.node) +
                             (q.what == cli::What::WriteSetpoint
                                  ? " setpoint " + std::to_string(q.setpoint) + " = " + q.valueText
                                  : " command " + cli::commandName(q.letter) + " machine " + std::to_string(q.machine));
    if (interrupted(records)) return {false, what + ": interrupted", cli::Cause::Interrupted};
    if (const cli::Record *bad = firstFailure(records)) return {false, what + ": " + cli::errorField(*bad), bad->cause};
    if (records.empty()) return {false, what + ": no answer", cli::Cause::NoReply};
    std::string notes;
    for (const cli::Record &r : records)
        for (const std::string &n : r.notes) notes += "; " + n;
    if (q.what == cli::What::WriteSetpoint) {
        // Setpoint items of the station show the new value at their next read: now.
        std::lock_guard lock(mutex_);
        for (Task &t : tasks_)
            if (t.kind == Task::Read && t.item.setpoints() && t.item.query.target.channel == q.target.channel &&
                t.item.query.target.node == q.target.node)
                t.due = Clock::now();
    }
    return {true, what + ": done" + notes};
}

}  // namespace hydrix::serve
