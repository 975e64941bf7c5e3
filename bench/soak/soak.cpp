// The fault soak: eight channels, four per engine, each on a pseudo-terminal served by a
// station simulator that injects faults at set rates (wrong block checks, silence, junk,
// DC3 storms, split replies, late replies), while the host side calls in with bursts of
// alarms, lets a channel's message pool run dry for seconds and makes ports vanish and
// come back. After the given time it quiets the faults, reads the remaining history and
// alarms, stops the driver with exchanges in progress and checks from the stations' books
// and the host's queues that nothing was lost, duplicated or misplaced.
//
//   bench_soak [--seconds N] [--seed S] [--no-vanish] [--no-dry] [--rate-KIND P] ...
//
// Exit status 0 only when every check held. See --help.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/soak/ledger.h"
#include "driver/state.h"
#include "runtime/runtime.h"
#include "station/station.h"

#if defined(__SANITIZE_ADDRESS__)
// A small quarantine, so that resident memory tells something about leaks over a run.
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=16"; }
#endif

namespace {

using namespace hydrix;
using Clock = std::chrono::steady_clock;
using soak::Ledger;
using soak::Request;

constexpr int kTelegramChannels = 4;  // channels 0..3; 4..7 run the v6 engine
constexpr int kPoolSize = 64;
constexpr int kInitialHistory = 120;
constexpr int kInitialAlarms = 3;

struct Options {
    int seconds = 120;
    uint64_t seed = 1;
    station::FaultRates rates;
    bool vanish = true, dry = true, callIns = true;
    int vanishEvery = 75, dryEvery = 40, callInEvery = 30;  // mean seconds between events
    int historyEvery = 4;                                   // seconds between history reads of a channel
    int appendEvery = 2;                                    // seconds between new history records of a station
    int depth = 2;                                          // picture requests kept waiting per channel
    int baud = 19200;                                       // the stations' line speed (0: as fast as the pty goes)
    int stopLimitMs = 2000;                                 // drvStop to state 0
    std::string trace;
    bool verbose = false;
};

Options g_opt;
std::atomic<bool> g_quiet{false};  // the quiet phase: no new faults, pictures or records

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
const Clock::time_point g_start = Clock::now();

// With --verbose: what the host side does, with the seconds since the start.
void note(int c, const std::string &what) {
    if (!g_opt.verbose) return;
    std::fprintf(stderr, "%8.3f [%d] %s\n", secondsSince(g_start), c, what.c_str());
}
void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---- One channel: its line, its station and the host's side ---------------------------

struct Channel {
    int c = 0;
    bool v6 = false;
    int plant = 0;
    std::string link;  // the path the port opens: a symlink to the pty
    std::unique_ptr<station::Pty> pty;
    std::unique_ptr<station::Simulator> sim;
    std::mt19937_64 rng;
    std::atomic<int> historyAppended{0};  // records the station holds: 0 .. n-1
    int nextAlarm = 0;
    uint32_t historyTag = 0;
    std::vector<HostMsg *> held;  // messages taken out of the pool while it is dry
    bool gone = false;            // the pty has vanished
    // host-side counts
    int64_t dryEpisodes = 0, vanishes = 0, callIns = 0, callInsUnrecognised = 0, conversations = 0;
    int64_t hostRead = 0;
    double maxHookMs = 0;  // longest preEvent/postEvent/canDisconnect call

    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    Clock::time_point after(int meanSeconds) {
        return Clock::now() + std::chrono::milliseconds(uniform(meanSeconds * 500, meanSeconds * 1500));
    }
};

std::vector<std::unique_ptr<Channel>> g_channels;

station::Model modelFor(Channel &ch) {
    station::Plant p;
    p.plantNumber = ch.plant;
    for (int pic = 1; pic <= soak::kPictures; ++pic) p.pictures[pic] = soak::picture(pic);
    for (int n = 0; n < kInitialHistory; ++n) p.history.push_back(soak::historyRecord(n));
    for (int k = 0; k < kInitialAlarms; ++k) p.alarms.push_back(soak::alarm(ch.c, k));
    ch.historyAppended = kInitialHistory;
    ch.nextAlarm = kInitialAlarms;
    station::Model m;
    m.plants = {p};
    m.historyChunk = 4;
    return m;
}

bool openLine(Channel &ch, std::string *error) {
    auto pty = station::Pty::open(error);
    if (!pty) return false;
    ch.pty = std::make_unique<station::Pty>(std::move(*pty));
    const std::string tmp = ch.link + ".new";
    ::unlink(tmp.c_str());
    if (::symlink(ch.pty->slavePath().c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), ch.link.c_str()) != 0) {
        *error = "symlink " + ch.link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The adapter is pulled: the station stops, the pty closes, the device path disappears.
void vanish(Channel &ch) {
    note(ch.c, "port vanishes");
    ch.sim->stop();
    ::unlink(ch.link.c_str());
    ch.pty.reset();
    ch.gone = true;
    ++ch.vanishes;
}

void comeBack(Channel &ch) {
    std::string error;
    if (!openLine(ch, &error)) {
        std::fprintf(stderr, "channel %d: line cannot come back: %s\n", ch.c, error.c_str());
        return;
    }
    ch.sim->reattach(ch.pty->master());
    ch.sim->start();
    ch.gone = false;
    note(ch.c, "port is back");
}

void releasePool(Channel &ch) {
    for (HostMsg *m : ch.held) soak::realPutMsgToPool(ch.c, m);
    ch.held.clear();
}

// The host reads its input queue and gives every message back to the pool.
void readInput(Channel &ch, int waitMs) {
    for (HostMsg *m = rt::waitInputQueue(ch.c, waitMs); m; m = rt::waitInputQueue(ch.c, 0)) {
        ++ch.hostRead;
        if (m->hostWord3 != 1)
            Ledger::get().violation(ch.c, "unexpected",
                                    "a message on the input queue that the driver never handed over");
        m->hostWord1 = m->hostWord3 = 0;
        soak::realPutMsgToPool(ch.c, m);
    }
}

bool issuePicture(Channel &ch) {
    HostMsg *m = getMsgFromPool(ch.c);
    if (!m) return false;
    Request r;
    r.kind = soak::Kind::Picture;
    r.picture = ch.uniform(1, soak::kPictures);
    m->node = static_cast<uint32_t>(ch.plant);
    m->direction = DIR_READ;
    if (ch.v6) {
        m->address = V6_ADDRESS(V6_WGS_PICTURE, r.picture);
    } else {
        const int size = soak::pictureSize(r.picture);
        r.first = ch.uniform(0, size - 1);
        r.count = ch.uniform(1, size - r.first);
        m->address = TELEGRAM_ADDRESS(KIND_PICTURE, r.picture);
        m->index = static_cast<uint32_t>(2 * r.first);
        m->length = 2 * r.count;
        // Values the driver must overwrite: a picture handed back as done with these
        // in it was never filled.
        auto *f = static_cast<float *>(m->data);
        for (int i = 0; i < r.count; ++i) f[i] = -7777.0f;
    }
    Ledger::get().issue(ch.c, m, r);
    putMsgToSapOq(ch.c, m);
    return true;
}

bool issueHistory(Channel &ch) {
    HostMsg *m = getMsgFromPool(ch.c);
    if (!m) return false;
    int last;
    {
        auto &b = Ledger::get().channel(ch.c);
        std::lock_guard lock(b.m);
        last = b.lastHistory;
    }
    // From the last record the host has: the station sends the records after it.
    const OrvelTime from = last >= 0 ? soak::historyTime(last) : soak::historyTime(0) - 600000000ULL;
    std::memcpy(m->data, &from, sizeof from);
    m->node = static_cast<uint32_t>(ch.plant);
    m->direction = DIR_READ;
    m->address = ch.v6 ? V6_ADDRESS(V6_WGH_HISTORY, 0) : TELEGRAM_ADDRESS(KIND_HISTORY, 0);
    Request r;
    r.kind = soak::Kind::History;
    Ledger::get().issue(ch.c, m, r);
    ch.historyTag = m->hostWord1;
    putMsgToSapOq(ch.c, m);
    return true;
}

bool requestEnded(Channel &ch, uint32_t tag) {
    auto &b = Ledger::get().channel(ch.c);
    std::lock_guard lock(b.m);
    auto it = b.requests.find(tag);
    return it == b.requests.end() || it->second.ends > 0;
}

int pending(Channel &ch) {
    auto &b = Ledger::get().channel(ch.c);
    std::lock_guard lock(b.m);
    return b.pendingRequests();
}

// Waits, reading the input queue, until `done` holds or the time is up.
template <class Pred>
bool waitFor(Channel &ch, int timeoutMs, Pred done) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > end) return false;
        readInput(ch, 20);
    }
    return true;
}

template <class F>
auto timedHook(Channel &ch, F call) {
    const auto t0 = Clock::now();
    auto r = call();
    ch.maxHookMs = std::max(ch.maxHookMs, secondsSince(t0) * 1000);
    return r;
}

void addAlarmBurst(Channel &ch) {
    const int burst = ch.uniform(2, 6);
    ch.sim->editModel([&](station::Model &m) {
        for (int i = 0; i < burst; ++i) m.plants[0].alarms.push_back(soak::alarm(ch.c, ch.nextAlarm++));
    });
}

size_t alarmsLeft(Channel &ch) { return ch.sim->model().plants[0].alarms.size(); }

// A station calls in. The host lets the channel's work finish first, as a line that is
// being answered carries nothing else.
// During the run a call-in that finds the line busy until `until` is given up; in the
// quiet phase (strict) a line that stays busy is a fault.
void callIn(Channel &ch, bool burst, Clock::time_point until, bool strict) {
    const int waitMs = static_cast<int>(
        std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count()));
    if (!waitFor(ch, waitMs, [&] { return pending(ch) == 0 && rt::outputQueueLength(ch.c) == 0; })) {
        if (strict)
            Ledger::get().violation(ch.c, "hang", "requests still not ended long after the host stopped queueing");
        else
            note(ch.c, "call-in given up: the line stayed busy");
        return;
    }
    if (burst) addAlarmBurst(ch);
    ++ch.callIns;
    note(ch.c, "call-in, " + std::to_string(alarmsLeft(ch)) + " alarms waiting");
    int32_t flag = 0;
    if (!ch.v6) {
        auto &b = Ledger::get().channel(ch.c);
        int64_t endedBefore;
        {
            std::lock_guard lock(b.m);
            endedBefore = b.alarmReadsEnded;
        }
        ch.sim->sendCallIn(ch.plant, true);
        const int32_t node = timedHook(ch, [&] { return preEvent(static_cast<uint32_t>(ch.c), 2, 0, &flag); });
        if (node != ch.plant) {
            ++ch.callInsUnrecognised;
            note(ch.c, "call-in not recognised: " + std::to_string(node));
            return;
        }
        if (!waitFor(ch, 180000, [&] {
                std::lock_guard lock(b.m);
                return b.alarmReadsEnded > endedBefore;
            })) {
            Ledger::get().violation(ch.c, "hang", "the alarm read of a call-in did not end within 180 s");
            return;
        }
        waitFor(ch, 10000,
                [&] { return timedHook(ch, [&] { return canDisconnect(static_cast<uint32_t>(ch.c)); }) == 1; });
        note(ch.c, "call-in done");
        return;
    }
    // v6: the station calls and says OK; then the connection is up and the channel holds
    // its alarm conversation (OK, ALR, ALO, WCA), one acknowledged alarm per conversation.
    timedHook(ch, [&] { return preEvent(static_cast<uint32_t>(ch.c), 5, 0, &flag); });
    ch.sim->sendOk();
    const auto idle = [&] {
        const V6Channel &v = v6Channels[ch.c];
        return v.state.load() == 0 && v.step.load() == 0 && rt::outputQueueLength(ch.c) == 0;
    };
    if (!waitFor(ch, 25000, idle)) note(ch.c, "channel not idle 25 s after the caller's OK");
    for (int round = 0; round < 12 && alarmsLeft(ch) > 0; ++round) {
        const int okBefore = ch.sim->counters().ok;
        timedHook(ch, [&] { return preEvent(static_cast<uint32_t>(ch.c), 1, static_cast<uint32_t>(ch.plant), &flag); });
        ++ch.conversations;
        // The conversation is over when the OK went out and the channel is idle again.
        int quietPolls = 0;
        const bool over = waitFor(ch, 120000, [&] {
            if (ch.sim->counters().ok > okBefore && idle()) return ++quietPolls >= 5;
            quietPolls = 0;
            return false;
        });
        if (!over) {
            Ledger::get().violation(ch.c, "hang", "an alarm conversation did not end within 120 s");
            return;
        }
        if (!waitFor(ch, 30000,
                     [&] { return timedHook(ch, [&] { return postEvent(static_cast<uint32_t>(ch.c)); }) == 1; })) {
            Ledger::get().violation(ch.c, "hang", "postEvent did not come to 1 within 30 s of an idle channel");
            return;
        }
        waitFor(ch, 10000,
                [&] { return timedHook(ch, [&] { return canDisconnect(static_cast<uint32_t>(ch.c)); }) == 1; });
        note(ch.c, "conversation done, " + std::to_string(alarmsLeft(ch)) + " alarms left");
    }
}

// The run phase of one channel: requests, history, call-ins, dry pools, vanishing ports.
void runChannel(Channel &ch, Clock::time_point end) {
    soak::markHostThread();
    auto nextDry = ch.after(g_opt.dryEvery), nextVanish = ch.after(g_opt.vanishEvery);
    auto nextCallIn = ch.after(g_opt.callInEvery), nextHistory = Clock::now();
    auto nextAppend = Clock::now() + std::chrono::seconds(g_opt.appendEvery);
    Clock::time_point dryUntil{}, backAt{};
    bool dry = false;
    while (Clock::now() < end) {
        const auto now = Clock::now();
        if (dry && now >= dryUntil) {
            dry = false;
            note(ch.c, "pool refilled");
            releasePool(ch);
        }
        if (!dry && g_opt.dry && now >= nextDry) {
            dry = true;
            ++ch.dryEpisodes;
            note(ch.c, "pool runs dry");
            dryUntil = now + std::chrono::milliseconds(ch.uniform(2000, 6000));
            nextDry = ch.after(g_opt.dryEvery);
        }
        if (dry)
            while (HostMsg *m = getMsgFromPool(ch.c)) ch.held.push_back(m);
        if (ch.gone && now >= backAt) comeBack(ch);
        if (!ch.gone && g_opt.vanish && now >= nextVanish) {
            vanish(ch);
            backAt = now + std::chrono::milliseconds(ch.uniform(2000, 5000));
            nextVanish = ch.after(g_opt.vanishEvery);
        }
        if (g_opt.callIns && !ch.gone && !dry && now >= nextCallIn) {
            callIn(ch, true, end, false);
            nextCallIn = ch.after(g_opt.callInEvery);
            continue;
        }
        if (now >= nextAppend) {
            const int n = ch.historyAppended;
            ch.sim->editModel([&](station::Model &m) { m.plants[0].history.push_back(soak::historyRecord(n)); });
            ch.historyAppended = n + 1;
            nextAppend = now + std::chrono::seconds(g_opt.appendEvery);
        }
        if (now >= nextHistory && (ch.historyTag == 0 || requestEnded(ch, ch.historyTag))) {
            if (issueHistory(ch)) nextHistory = now + std::chrono::seconds(g_opt.historyEvery);
        }
        if (pending(ch) < g_opt.depth + (ch.historyTag && !requestEnded(ch, ch.historyTag))) issuePicture(ch);
        readInput(ch, 10);
    }
    if (dry) releasePool(ch);
    if (ch.gone) comeBack(ch);
}

// The quiet phase: no faults; every request ends, the history is read to its end and
// the alarms until none are left.
void quietChannel(Channel &ch) {
    soak::markHostThread();
    note(ch.c, "quiet: " + std::to_string(pending(ch)) + " requests waiting");
    // The longest honest wait is a v6 history reply (60 s) that went unanswered.
    if (!waitFor(ch, 90000, [&] { return pending(ch) == 0; })) {
        Ledger::get().violation(ch.c, "hang",
                                std::to_string(pending(ch)) + " requests not ended 90 s after the faults stopped");
        return;  // the channel is stuck: its history and alarms cannot come through
    }
    const int records = ch.historyAppended;
    for (int round = 0; round < 20; ++round) {
        int last;
        {
            auto &b = Ledger::get().channel(ch.c);
            std::lock_guard lock(b.m);
            last = b.lastHistory;
        }
        if (last >= records - 1 && round > 0) break;
        if (!issueHistory(ch)) {
            readInput(ch, 100);
            continue;
        }
        if (!waitFor(ch, 120000, [&] { return requestEnded(ch, ch.historyTag); })) {
            Ledger::get().violation(ch.c, "hang", "a history read did not end within 120 s without faults");
            return;
        }
    }
    note(ch.c, "quiet: history read");
    for (int round = 0; round < 10 && alarmsLeft(ch) > 0; ++round)
        callIn(ch, false, Clock::now() + std::chrono::seconds(90), true);
    note(ch.c, "quiet: done");
    readInput(ch, 0);
}

// ---- Resources over the run ---------------------------------------------------------------

struct Sample {
    double t;
    long rssKb;
    int fds;
};

Sample sample(Clock::time_point start) {
    Sample s{secondsSince(start), 0, 0};
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        long size = 0, resident = 0;
        if (std::fscanf(f, "%ld %ld", &size, &resident) == 2) s.rssKb = resident * (sysconf(_SC_PAGESIZE) / 1024);
        std::fclose(f);
    }
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++s.fds;
        closedir(d);
        s.fds -= 3;  // ".", ".." and the directory itself
    }
    return s;
}

// ---- Options ------------------------------------------------------------------------------

void usage() {
    std::printf(
        "bench_soak [options]\n"
        "  --seconds N          run time with faults (default 120)\n"
        "  --seed S             seed of every random choice (default 1)\n"
        "  --rate-bcc P         share of replies with a wrong block check (default 0.02)\n"
        "  --rate-silence P     never answered (default 0.005)\n"
        "  --rate-junk P        junk before the lead byte (default 0.02)\n"
        "  --rate-dc3 P         DC3 storm in and around the reply (default 0.03)\n"
        "  --rate-split P       reply in two halves with a pause (default 0.03)\n"
        "  --rate-late P        answered after the driver's time-out (default 0.005)\n"
        "  --no-vanish          ports do not vanish and come back\n"
        "  --no-dry             pools do not run dry\n"
        "  --no-callins         no call-ins\n"
        "  --vanish-every S, --dry-every S, --callin-every S   mean seconds between events\n"
        "  --baud B             the stations' line speed, 0 for none (default 19200)\n"
        "  --stop-limit-ms MS   drvStop to state 0 with exchanges in progress (default 2000)\n"
        "  --trace FILE         the driver's trace lines\n"
        "  --verbose            the host side's events on stderr\n");
}

bool parseOptions(int argc, char **argv) {
    using station::FaultKind;
    g_opt.rates[FaultKind::WrongBcc] = 0.02;
    g_opt.rates[FaultKind::Silence] = 0.005;
    g_opt.rates[FaultKind::Junk] = 0.02;
    g_opt.rates[FaultKind::Dc3Storm] = 0.03;
    g_opt.rates[FaultKind::Split] = 0.03;
    g_opt.rates[FaultKind::Late] = 0.005;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            usage();
            std::exit(0);
        } else if (a == "--seconds") {
            g_opt.seconds = std::atoi(value("--seconds"));
        } else if (a == "--seed") {
            g_opt.seed = std::strtoull(value("--seed"), nullptr, 10);
        } else if (a == "--no-vanish") {
            g_opt.vanish = false;
        } else if (a == "--no-dry") {
            g_opt.dry = false;
        } else if (a == "--no-callins") {
            g_opt.callIns = false;
        } else if (a == "--vanish-every") {
            g_opt.vanishEvery = std::max(1, std::atoi(value("--vanish-every")));
        } else if (a == "--dry-every") {
            g_opt.dryEvery = std::max(1, std::atoi(value("--dry-every")));
        } else if (a == "--callin-every") {
            g_opt.callInEvery = std::max(1, std::atoi(value("--callin-every")));
        } else if (a == "--baud") {
            g_opt.baud = std::atoi(value("--baud"));
        } else if (a == "--stop-limit-ms") {
            g_opt.stopLimitMs = std::atoi(value("--stop-limit-ms"));
        } else if (a == "--verbose" || a == "-v") {
            g_opt.verbose = true;
        } else if (a == "--trace") {
            g_opt.trace = value("--trace");
        } else if (a.rfind("--rate-", 0) == 0) {
            const std::string kind = a.substr(7);
            bool found = false;
            for (int k = 0; k < station::kFaultKinds; ++k)
                if (kind == station::faultName(static_cast<FaultKind>(k))) {
                    g_opt.rates.rate[k] = std::atof(value(a.c_str()));
                    found = true;
                }
            if (!found) {
                std::fprintf(stderr, "unknown fault kind in %s\n", a.c_str());
                return false;
            }
        } else if (std::isdigit(static_cast<unsigned char>(a[0]))) {
            g_opt.seconds = std::atoi(a.c_str());
        } else {
            std::fprintf(stderr, "unknown option %s (see --help)\n", a.c_str());
            return false;
        }
    }
    return true;
}

std::string profileText() {
    std::string p = "[Driver]\nDebug=0\n";
    for (auto &ch : g_channels) {
        const std::string s = "Chan" + std::to_string(ch->c);
        p += "[" + s + "]\nPort=" + ch->link + "\nNodes=" + std::to_string(ch->plant) + "\n";
        if (ch->v6)
            p += "HYDRIXDefault=0\nDeviceName=SOAK" + std::to_string(ch->c) + "\n";
        else
            p += "[" + s + "\\Node" + std::to_string(ch->plant) + "]\nPlantNumber=" + std::to_string(ch->plant) + "\n";
    }
    return p;
}

// ---- Setting up -----------------------------------------------------------------------------

// The trace as the options ask, and a watch on the runtime's pool complaints: the
// runtime refuses a message that is given back twice or that is not its own, and says
// so in the trace: either is a driver fault.
bool setUpTrace() {
    rt::setSyslog(false);
    if (g_opt.trace.empty()) {
        rt::setTraceFile(nullptr);
    } else {
        std::string error;
        if (!rt::setTracePath(g_opt.trace, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
    }
    rt::setTraceSink([](const std::string &line) {
        if (line.rfind("putMsgToPool:", 0) == 0) Ledger::get().violation(-1, "pool", line);
    });
    return true;
}

// Every channel's line, reached through a link in `dir`, and its station with the faults
// of the run.
bool setUpStations(const std::string &dir) {
    for (int c = 0; c < HYDRIX_CHANNELS; ++c) {
        auto ch = std::make_unique<Channel>();
        ch->c = c;
        ch->v6 = c >= kTelegramChannels;
        ch->plant = 20 + c;
        ch->link = dir + "/chan" + std::to_string(c);
        ch->rng.seed(g_opt.seed * 1000003ULL + static_cast<uint64_t>(c));
        std::string error;
        if (!openLine(*ch, &error)) {
            std::fprintf(stderr, "channel %d: %s\n", c, error.c_str());
            return false;
        }
        ch->sim = std::make_unique<station::Simulator>(ch->pty->master(), modelFor(*ch));
        ch->sim->setKeepTelegrams(false);
        station::Faults f;
        f.v6Framing = ch->v6;
        f.baud = g_opt.baud;
        ch->sim->setFaults(f);
        station::FaultRates rates = g_opt.rates;
        rates.seed = g_opt.seed * 7919ULL + static_cast<uint64_t>(c);
        rates.lateMs = ch->v6 ? 11000 : 6500;  // beyond the engine's reply time-out
        ch->sim->setFaultRates(rates);
        g_channels.push_back(std::move(ch));
    }
    return true;
}

// The driver installed from the soak's profile, every channel's port open and its
// station answering, and the driver started.
bool startDriver() {
    if (auto e = rt::loadProfileText(profileText(), "soak")) {
        std::fprintf(stderr, "%s\n", e->what().c_str());
        return false;
    }
    drvInstall("Driver");
    for (auto &ch : g_channels) {
        rt::PortSettings settings;
        if (auto e = rt::portSettingsFromProfile("Chan" + std::to_string(ch->c), &settings)) {
            std::fprintf(stderr, "%s\n", e->c_str());
            return false;
        }
        if (auto e = rt::openChannelPort(ch->c, settings)) {
            std::fprintf(stderr, "channel %d: %s\n", ch->c, e->c_str());
            return false;
        }
        rt::configurePool(ch->c, kPoolSize, 2048);
        drvAddChan(ch->c, ("Chan" + std::to_string(ch->c)).c_str());
        drvInitComm(static_cast<uint32_t>(ch->c), getCommHandle(ch->c));
        Ledger::get().setChannel(ch->c, ch->v6, 3);
        ch->sim->start();
    }
    drvStart();
    return true;
}

// Resident memory and open descriptors, sampled every five seconds while it runs.
class Sampler {
public:
    explicit Sampler(Clock::time_point start)
        : thread_([this, start] {
              while (sampling_.load()) {
                  {
                      std::lock_guard lock(mutex_);
                      samples_.push_back(sample(start));
                  }
                  for (int i = 0; i < 50 && sampling_.load(); ++i) sleepMs(100);
              }
          }) {}
    // Ends the sampling; the samples taken.
    std::vector<Sample> stop() {
        sampling_ = false;
        thread_.join();
        return samples_;
    }

private:
    std::atomic<bool> sampling_{true};
    std::mutex mutex_;
    std::vector<Sample> samples_;
    std::thread thread_;  // last: it starts once the members above are there
};

// ---- The phases -----------------------------------------------------------------------------

// Runs `phase` for every channel on a thread of its own, and waits for all of them.
template <typename Phase>
void onEveryChannel(Phase phase) {
    std::vector<std::thread> threads;
    for (auto &ch : g_channels) threads.emplace_back([&ch, phase] { phase(*ch); });
    for (auto &t : threads) t.join();
}

// Stops the driver with exchanges in progress: picture reads on every channel that the
// stations no longer answer, so that the stop finds the engines waiting on the line.
// The milliseconds from drvStop to state 0.
double stopWithExchangesInProgress() {
    for (auto &ch : g_channels) {
        station::Faults f = ch->sim->faults();
        f.silent = true;
        ch->sim->setFaults(f);
        issuePicture(*ch);
        issuePicture(*ch);
    }
    sleepMs(300);
    Ledger::get().stopping = true;
    const auto stopStart = Clock::now();
    drvStop();
    while (drvQueryState() != DRV_STATE_STOPPED && secondsSince(stopStart) < 120) {
        drvHndlTimer();
        sleepMs(20);
    }
    const double stopMs = secondsSince(stopStart) * 1000;
    if (drvQueryState() != DRV_STATE_STOPPED)
        Ledger::get().violation(-1, "stop", "the driver did not reach state 0 within 120 s of drvStop");
    else if (stopMs > g_opt.stopLimitMs)
        Ledger::get().violation(-1, "stop",
                                "drvStop to state 0 took " + std::to_string(static_cast<int>(stopMs)) +
                                    " ms with exchanges in progress (limit " + std::to_string(g_opt.stopLimitMs) +
                                    " ms)");
    return stopMs;
}

// What the queues still hold: requests never taken are fine; everything else must have
// come back.
void drainQueues() {
    for (auto &ch : g_channels) {
        readInput(*ch, 0);
        auto &b = Ledger::get().channel(ch->c);
        while (HostMsg *m = soak::realGetMsgFromSapOq(ch->c)) {
            if (Ledger::isRequest(m)) {
                std::lock_guard lock(b.m);
                auto it = b.requests.find(m->hostWord1);
                if (it != b.requests.end()) {
                    b.requests.erase(it);  // never taken: it ends here, unserved
                    ++b.atStop;
                } else {
                    Ledger::get().violation(ch->c, "duplicated",
                                            "a request that had ended was still in the output queue");
                }
            }
            m->hostWord1 = 0;
            soak::realPutMsgToPool(ch->c, m);
        }
    }
}

// ---- Checks -------------------------------------------------------------------------------

// A channel's alarms and history records, as the table shows them.
struct Row {
    int64_t alarmsAcked = 0, alarmsDelivered = 0, alarmsLeft = 0, records = 0, recordsDelivered = 0;
};

// History: every record the station holds, exactly once. Called with b.m held.
void checkHistory(const Channel &ch, soak::ChannelBook &b, Row &row) {
    Ledger &L = Ledger::get();
    const int c = ch.c;
    row.records = ch.historyAppended;
    for (int n = 0; n < ch.historyAppended; ++n) {
        bool whole;
        if (b.v6) {
            auto it = b.historyValues.find(n);
            whole = it != b.historyValues.end();
            for (int j = 1; whole && j <= soak::historyValues(n); ++j) whole = it->second[static_cast<size_t>(j)] > 0;
            if (it != b.historyValues.end() && !whole)
                L.violation(c, "lost", "history record " + std::to_string(n) + " delivered in part");
        } else {
            whole = b.historyRecords.count(n) > 0;
        }
        if (whole)
            ++row.recordsDelivered;
        else if (!b.v6 || !b.historyValues.count(n))
            L.violation(c, "lost", "history record " + std::to_string(n) + " never delivered");
    }
}

// Alarms: none left at the station; each acknowledged one delivered exactly once
// (telegram engine) or reported to the driver before its acknowledge (v6 engine, which
// hands alarms to nobody). Called with b.m held.
void checkAlarms(const Channel &ch, soak::ChannelBook &b, Row &row) {
    Ledger &L = Ledger::get();
    const int c = ch.c;
    const station::Book book = ch.sim->book();
    const station::Model model = ch.sim->model();
    row.alarmsLeft = static_cast<int64_t>(model.plants[0].alarms.size());
    row.alarmsAcked = static_cast<int64_t>(book.alarmsAcked.size());
    if (row.alarmsLeft)
        L.violation(c, "lost",
                    std::to_string(row.alarmsLeft) + " alarms never acknowledged (first " +
                        std::to_string(model.plants[0].alarms.front().code) + ")");
    if (book.aloUnreported)
        L.violation(c, "lost",
                    std::to_string(book.aloUnreported) + " alarms acknowledged that no readable ALR had reported");
    if (!b.v6) {
        row.alarmsDelivered = static_cast<int64_t>(b.alarms.size());
        for (int code : book.alarmsAcked)
            if (!b.alarms.count(code))
                L.violation(c, "lost", "alarm " + std::to_string(code) + " acknowledged but never delivered");
        for (auto &[code, n] : b.alarms)
            if (std::find(book.alarmsAcked.begin(), book.alarmsAcked.end(), code) == book.alarmsAcked.end())
                L.violation(c, "unacknowledged", "alarm " + std::to_string(code) + " delivered but never acknowledged");
    } else {
        row.alarmsDelivered = row.alarmsAcked - book.aloUnreported;
    }
}

// Every request ended, every message back in the pool and read by the host, the history
// and the alarms: the rows of the table.
std::vector<Row> checkChannels() {
    Ledger &L = Ledger::get();
    std::vector<Row> rows(g_channels.size());
    for (auto &ch : g_channels) {
        const int c = ch->c;
        auto &b = L.channel(c);
        Row &row = rows[static_cast<size_t>(c)];
        std::lock_guard lock(b.m);
        for (auto &[tag, r] : b.requests)
            L.violation(c, "lost",
                        std::string(r.kind == soak::Kind::Picture ? "picture" : "history") + " request " +
                            std::to_string(tag & 0xFFFFFF) + " (taken " + std::to_string(r.takes) +
                            " times) never came back");
        if (rt::poolAvailable(c) != kPoolSize)
            L.violation(c, "leak",
                        std::to_string(kPoolSize - rt::poolAvailable(c)) +
                            " host messages still out of the pool after the stop");
        if (b.delivered != ch->hostRead)
            L.violation(c, "lost",
                        "the driver handed over " + std::to_string(b.delivered) + " messages, the host read " +
                            std::to_string(ch->hostRead));
        checkHistory(*ch, b, row);
        checkAlarms(*ch, b, row);
    }
    return rows;
}

// Resources: the first minute after start-up against the last minute.
struct Resources {
    long rssFirst = 0, rssLast = 0;
    int fdFirst = 0, fdLast = 0;
};

Resources checkResources(const std::vector<Sample> &samples) {
    Ledger &L = Ledger::get();
    Resources r;
    const double total = samples.empty() ? 0 : samples.back().t;
    for (const Sample &s : samples) {
        if (s.t >= 10 && s.t <= 70) {
            r.rssFirst = std::max(r.rssFirst, s.rssKb);
            r.fdFirst = std::max(r.fdFirst, s.fds);
        }
        if (s.t >= total - 60) {
            r.rssLast = std::max(r.rssLast, s.rssKb);
            r.fdLast = std::max(r.fdLast, s.fds);
        }
    }
    if (r.rssFirst > 0 && r.rssLast > r.rssFirst + r.rssFirst / 4 + 16384)
        L.violation(
            -1, "leak",
            "resident memory grew from " + std::to_string(r.rssFirst) + " kB to " + std::to_string(r.rssLast) + " kB");
    if (r.fdFirst > 0 && r.fdLast > r.fdFirst + 2)
        L.violation(-1, "leak",
                    "open descriptors grew from " + std::to_string(r.fdFirst) + " to " + std::to_string(r.fdLast));
    return r;
}

// The host's thread may wait for a caller's telegram: 5 s for its start and 5 more for
// its end, never longer.
void checkHooks() {
    for (auto &ch : g_channels)
        if (ch->maxHookMs > 10500)
            Ledger::get().violation(
                ch->c, "hang",
                "an event hook held the host's thread for " + std::to_string(static_cast<int>(ch->maxHookMs)) + " ms");
}

// ---- The report -------------------------------------------------------------------------------

// One line of the table per channel, and their sum.
void printTable(const std::vector<Row> &rows) {
    Ledger &L = Ledger::get();
    std::printf(
        "ch eng   requests   done failed atstop retries reopens |  bcc silence junk  dc3 split late |"
        " dry vanish callin | alarms acked left | history recs  deliv\n");
    int64_t tot[24] = {};
    for (auto &ch : g_channels) {
        auto &b = L.channel(ch->c);
        const station::Book book = ch->sim->book();
        const Row &row = rows[static_cast<size_t>(ch->c)];
        std::lock_guard lock(b.m);
        const int64_t v[] = {b.issued,        b.done,         b.failed,       b.atStop,
                             b.retriesTaken,  b.reopens,      book.faults[0], book.faults[1],
                             book.faults[2],  book.faults[3], book.faults[4], book.faults[5],
                             ch->dryEpisodes, ch->vanishes,   ch->callIns,    row.alarmsDelivered,
                             row.alarmsAcked, row.alarmsLeft, row.records,    row.recordsDelivered};
        std::printf(
            "%2d %-4s %9lld %6lld %6lld %6lld %7lld %7lld | %4lld %7lld %4lld %4lld %5lld %4lld |"
            " %3lld %6lld %6lld | %6lld %5lld %4lld | %12lld %6lld\n",
            ch->c, ch->v6 ? "v6" : "tg", (long long)v[0], (long long)v[1], (long long)v[2], (long long)v[3],
            (long long)v[4], (long long)v[5], (long long)v[6], (long long)v[7], (long long)v[8], (long long)v[9],
            (long long)v[10], (long long)v[11], (long long)v[12], (long long)v[13], (long long)v[14], (long long)v[15],
            (long long)v[16], (long long)v[17], (long long)v[18], (long long)v[19]);
        for (size_t i = 0; i < 20; ++i) tot[i] += v[i];
    }
    std::printf(
        "   all  %9lld %6lld %6lld %6lld %7lld %7lld | %4lld %7lld %4lld %4lld %5lld %4lld |"
        " %3lld %6lld %6lld | %6lld %5lld %4lld | %12lld %6lld\n",
        (long long)tot[0], (long long)tot[1], (long long)tot[2], (long long)tot[3], (long long)tot[4],
        (long long)tot[5], (long long)tot[6], (long long)tot[7], (long long)tot[8], (long long)tot[9],
        (long long)tot[10], (long long)tot[11], (long long)tot[12], (long long)tot[13], (long long)tot[14],
        (long long)tot[15], (long long)tot[16], (long long)tot[17], (long long)tot[18], (long long)tot[19]);
}

// Failed requests by triple, call-ins and hooks, and the resources over the run.
void printDetails(const std::vector<Sample> &samples, const Resources &r) {
    Ledger &L = Ledger::get();
    std::printf("\nfailed requests by triple:");
    for (auto &ch : g_channels) {
        auto &b = L.channel(ch->c);
        std::lock_guard lock(b.m);
        for (auto &[t, n] : b.triples) std::printf(" [%d] %s x%lld", ch->c, t.c_str(), (long long)n);
    }
    double maxHook = 0;
    int64_t unrecognised = 0, conversations = 0;
    for (auto &ch : g_channels) {
        maxHook = std::max(maxHook, ch->maxHookMs);
        unrecognised += ch->callInsUnrecognised;
        conversations += ch->conversations;
    }
    std::printf("\ncall-ins not recognised: %lld; v6 alarm conversations: %lld; longest hook call: %.0f ms\n",
                (long long)unrecognised, (long long)conversations, maxHook);
    std::printf("resident memory: %ld kB (first minute) -> %ld kB (last minute); descriptors %d -> %d\n", r.rssFirst,
                r.rssLast, r.fdFirst, r.fdLast);
    // The curve, a point per tenth of the run: the allocator's arenas warm up over the
    // first minutes and the run's own books grow by some bytes per request, while a leak
    // in the driver climbs by its size per exchange to the end.
    const double total = samples.empty() ? 0 : samples.back().t;
    std::printf("resident memory over the run (kB):");
    for (int tenth = 1; tenth <= 10 && !samples.empty(); ++tenth) {
        const double at = total * tenth / 10;
        const auto s =
            std::lower_bound(samples.begin(), samples.end(), at, [](const Sample &x, double t) { return x.t < t; });
        std::printf(" %ld", (s == samples.end() ? samples.back() : *s).rssKb);
    }
    std::printf("\n");
}

// The violations counted by kind, then grouped by what they say (numbers left out), with
// the first of each.
void printViolations(const std::map<std::string, int64_t> &counts) {
    auto count = [&](const char *k) {
        auto it = counts.find(k);
        return it == counts.end() ? int64_t{0} : it->second;
    };
    std::printf("lost = %lld, duplicated = %lld", (long long)count("lost"), (long long)count("duplicated"));
    for (auto &[k, n] : counts)
        if (k != "lost" && k != "duplicated") std::printf(", %s = %lld", k.c_str(), (long long)n);
    std::printf("\n");
    const auto list = Ledger::get().violations();
    if (list.empty()) return;
    struct Group {
        int64_t count = 0;
        std::set<int> channels;
        const soak::Violation *first = nullptr;
    };
    std::map<std::string, Group> groups;
    for (const auto &v : list) {
        std::string shape = v.kind + ": ";
        for (char ch : v.text)
            if (!std::isdigit(static_cast<unsigned char>(ch)) || shape.back() != '#')
                shape += std::isdigit(static_cast<unsigned char>(ch)) ? '#' : ch;
        Group &g = groups[shape];
        if (g.count++ == 0) g.first = &v;
        if (v.channel >= 0) g.channels.insert(v.channel);
    }
    std::printf("\nviolations by kind (count, channels, first one with its second of the run):\n");
    for (const auto &[shape, g] : groups) {
        std::string chans;
        for (int c : g.channels) {
            // Appended in steps: `"," + std::to_string(c)` trips g++ 12's -Wrestrict at -O3.
            if (!chans.empty()) chans += ',';
            chans += std::to_string(c);
        }
        std::printf("  %6lld x [%s] %s\n           first at %.1f s: %s\n", (long long)g.count,
                    chans.empty() ? "-" : chans.c_str(), shape.c_str(), g.first->at, g.first->text.c_str());
    }
    if (list.size() >= 20000) std::printf("  (only the first 20000 violations were kept)\n");
}

void tearDown(const std::string &dir) {
    drvUnInstall();
    for (auto &ch : g_channels) {
        ch->sim.reset();
        ch->pty.reset();
        ::unlink(ch->link.c_str());
    }
    ::rmdir(dir.c_str());
    rt::setTraceSink({});
    for (int c = 0; c < HYDRIX_CHANNELS; ++c) rt::closeChannelPort(c);
}

}  // namespace

int main(int argc, char **argv) {
    if (!parseOptions(argc, argv)) return 2;
    setenv("TZ", "UTC0", 1);
    tzset();
    soak::markHostThread();
    if (!setUpTrace()) return 2;
    char dirTemplate[] = "/tmp/hydrix-soak-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = dirTemplate;
    if (!setUpStations(dir) || !startDriver()) return 2;

    const auto start = Clock::now();
    Sampler sampler(start);
    std::printf("soak: %d s with faults, seed %llu, %d baud, vanishing ports %s, dry pools %s, call-ins %s\n",
                g_opt.seconds, static_cast<unsigned long long>(g_opt.seed), g_opt.baud, g_opt.vanish ? "on" : "off",
                g_opt.dry ? "on" : "off", g_opt.callIns ? "on" : "off");
    std::fflush(stdout);
    const auto runEnd = start + std::chrono::seconds(g_opt.seconds);
    onEveryChannel([runEnd](Channel &ch) { runChannel(ch, runEnd); });
    const double runSeconds = secondsSince(start);

    // Quiet: no more faults; everything asked for must now come through.
    g_quiet = true;
    for (auto &ch : g_channels) ch->sim->setFaultRates(station::FaultRates{});
    const auto quietStart = Clock::now();
    onEveryChannel([](Channel &ch) { quietChannel(ch); });
    const double quietSeconds = secondsSince(quietStart);

    const double stopMs = stopWithExchangesInProgress();
    const std::vector<Sample> samples = sampler.stop();
    drainQueues();
    for (auto &ch : g_channels) ch->sim->stop();

    const std::vector<Row> rows = checkChannels();
    const Resources resources = checkResources(samples);
    checkHooks();

    const auto counts = Ledger::get().violationCounts();
    std::printf("\nrun %.0f s with faults, %.0f s quiet, stop %.0f ms\n\n", runSeconds, quietSeconds, stopMs);
    printTable(rows);
    printDetails(samples, resources);
    printViolations(counts);
    tearDown(dir);
    return counts.empty() ? 0 : 1;
}
