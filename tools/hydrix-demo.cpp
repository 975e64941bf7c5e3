// hydrix-demo: hosts libhydrix.so the way any host does (dlopen through the public
// boundary) and shows it at work. Without a profile it puts the station simulator's
// built-in plants on pseudo-terminals, one per channel, and reads pictures, the daily
// report, setpoints, history and alarms, printing every message the host receives.
//
//   hydrix-demo [--config FILE] [--library PATH] [--idle SECONDS] [--channels N] [-v]
//
// --idle starts the channels, sends no request, and reports the CPU time the process
// used while idle.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/driver_library.h"
#include "runtime/runtime.h"
#include "station/station.h"

namespace {

namespace rt = hydrix::rt;
namespace st = hydrix::station;
using Clock = std::chrono::steady_clock;

// Built-in profile: a telegram-engine channel and a v6-engine channel for the simulator's
// default plants (plant 12 as node 12, plant 7 as node 7).
const char *kDefaultProfile = R"(
[Driver]
Debug=0
[Chan0]
HYDRIXDefault=1
Nodes=12 7
[Chan0\Node12]
PlantNumber=12
[Chan0\Node7]
PlantNumber=7
[Chan1]
HYDRIXDefault=0
DeviceName=SIM1
Nodes=7
)";

struct Options {
    std::string config;
    std::string library = HYDRIX_LIBRARY_PATH;
    int idleSeconds = 0;
    int channels = -1;  // --idle: how many simulated channels (default: the profile's)
    bool verbose = false;
};

void usage(FILE *out) {
    std::fputs(
        "usage: hydrix-demo [--config FILE] [--library PATH] [--idle SECONDS] [--channels N] [-v]\n"
        "  Loads the driver, gives each channel of the profile its port (a pseudo-terminal\n"
        "  with a simulated station when the channel has no Port key), starts it, reads\n"
        "  from the stations and prints what the host receives, then stops the driver.\n"
        "  --idle S      start the channels, send nothing for S seconds, report CPU use\n"
        "  --channels N  with --idle: N simulated telegram/v6 channels (alternating)\n"
        "  -v            trace lines of the driver on stderr\n",
        out);
}

bool parseArgs(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "hydrix-demo: %s needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        const char *v = nullptr;
        if (a == "--config") {
            if (!(v = next("--config"))) return false;
            o->config = v;
        } else if (a == "--library") {
            if (!(v = next("--library"))) return false;
            o->library = v;
        } else if (a == "--idle") {
            if (!(v = next("--idle"))) return false;
            o->idleSeconds = std::atoi(v);
        } else if (a == "--channels") {
            if (!(v = next("--channels"))) return false;
            o->channels = std::atoi(v);
        } else if (a == "-v") {
            o->verbose = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "hydrix-demo: unknown argument '%s'\n", a.c_str());
            usage(stderr);
            return false;
        }
    }
    return true;
}

std::string profileFor(int channels) {
    std::string text = "[Driver]\nDebug=0\n";
    for (int c = 0; c < channels; ++c) {
        const std::string s = "Chan" + std::to_string(c);
        if (c % 2 == 0)
            text += "[" + s + "]\nHYDRIXDefault=1\nNodes=12\n[" + s + "\\Node12]\nPlantNumber=12\n";
        else
            text += "[" + s + "]\nHYDRIXDefault=0\nDeviceName=SIM" + std::to_string(c) + "\nNodes=7\n";
    }
    return text;
}

// One channel's line: a real port from the profile, or a pty with a simulated station.
struct Line {
    int channel = -1;
    bool telegram = true;
    std::unique_ptr<st::Pty> pty;
    std::unique_ptr<st::Simulator> station;
};

// `simulate`: start a station on each pty (the idle measurement leaves them silent, so
// that only the driver's own threads are counted).
bool openLines(int channels, bool simulate, std::vector<Line> *lines) {
    for (int c = 0; c < channels; ++c) {
        const std::string section = "Chan" + std::to_string(c);
        if (!rt::profileValue(section, "HYDRIXDefault") && !rt::profileValue(section, "Nodes")) continue;
        Line line;
        line.channel = c;
        line.telegram = std::atoi(rt::profileValue(section, "HYDRIXDefault").value_or("1").c_str()) != 0;
        rt::PortSettings port;
        if (auto err = rt::portSettingsFromProfile(section, &port)) {
            std::fprintf(stderr, "hydrix-demo: [%s]: %s\n", section.c_str(), err->c_str());
            return false;
        }
        if (port.device.empty()) {
            std::string error;
            auto pty = st::Pty::open(&error);
            if (!pty) {
                std::fprintf(stderr, "hydrix-demo: cannot make a pseudo-terminal: %s\n", error.c_str());
                return false;
            }
            line.pty = std::make_unique<st::Pty>(std::move(*pty));
            port.device = line.pty->slavePath();
            if (simulate) {
                line.station = std::make_unique<st::Simulator>(line.pty->master(), st::defaultModel(!line.telegram));
                st::Faults faults;
                faults.baud = 9600;  // behave like a 9600-baud line
                faults.v6Framing = !line.telegram;
                line.station->setFaults(faults);
                line.station->start();
            }
        }
        if (auto err = rt::openChannelPort(c, port)) {
            std::fprintf(stderr, "hydrix-demo: channel %d: %s\n", c, err->c_str());
            return false;
        }
        std::printf("channel %d: %s engine on %s%s\n", c, line.telegram ? "telegram" : "v6",
                    port.device.c_str(), line.station ? " (simulated station)" : line.pty ? " (silent pseudo-terminal)" : "");
        lines->push_back(std::move(line));
    }
    return true;
}

std::string isoTime(OrvelTime t) {
    if (t == 0) return "-";
    const int64_t unix100ns = static_cast<int64_t>(t) - 116444736000000000LL;
    const time_t secs = static_cast<time_t>(unix100ns / 10000000);
    struct tm tm {};
    gmtime_r(&secs, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

void printMessage(const HostMsg *m) {
    std::printf("  node %u addr 0x%04X index %u dir %u len %d err %u/%u/%u time %s",
                m->node, m->address, m->index, m->direction, m->length, m->errGroup, m->errCode,
                m->errSub, isoTime(m->timeStamp).c_str());
    const auto *values = static_cast<const float *>(m->data);
    const int count = m->length / 2;
    if (TELEGRAM_KIND(m->address) == KIND_ALARMS && m->data != nullptr && m->errGroup == 0) {
        uint16_t flag = 0;
        std::memcpy(&flag, m->data, sizeof flag);
        std::printf(" code %u %s", m->index, flag == 0xFFFF ? "active" : "cleared");
    } else if (m->errGroup == 0 && m->errCode == 0 && count > 0 && values != nullptr) {
        std::printf(" values");
        for (int i = 0; i < count && i < 16; ++i) std::printf(" %g", static_cast<double>(values[i]));
        if (count > 16) std::printf(" ... (%d in all)", count);
    }
    std::printf("\n");
}

// What a v6 result record carries, by its address (the v6 engine's reply records).
void printV6Message(const HostMsg *m) {
    std::printf("  node %u addr %u index %u dir %u len %d err %u/%u/%u time %s", m->node, m->address,
                m->index, m->direction, m->length, m->errGroup, m->errCode, m->errSub,
                isoTime(m->timeStamp).c_str());
    if (m->errGroup != 0 || m->errCode != 0 || m->data == nullptr || m->direction == DIR_READ_TIME) {
        std::printf("\n");
        return;
    }
    const auto *bytes = static_cast<const unsigned char *>(m->data);
    auto i32 = [&](int k) { int32_t v; std::memcpy(&v, bytes + 4 * k, 4); return v; };
    auto u16 = [&](int k) { uint16_t v; std::memcpy(&v, bytes + 2 * k, 2); return v; };
    switch (m->address) {
    case 3: case 4: case 5: case 6: case 7: {
        float f;
        std::memcpy(&f, bytes, 4);
        std::printf(" setpoint %u = %g", m->index / 2, static_cast<double>(f));
        break;
    }
    case 0: case 1: std::printf(" setpoint %u = %u", m->index / 2, u16(0)); break;
    case 2: {
        std::string text;
        for (int k = 0; k < 2 * m->length; k += 2) {  // words with their bytes exchanged
            text += static_cast<char>(bytes[k + 1]);
            text += static_cast<char>(bytes[k]);
        }
        std::printf(" setpoint %u = '%s'", m->index / 10, text.c_str());
        break;
    }
    case 18: std::printf(" report row %u: %d %d %d %d %d", m->index / 20, i32(0), i32(1), i32(2), i32(3), i32(4)); break;
    case 13: std::printf(" limits of channel %u: %u %u %u %u %u", m->index / 2, u16(0), u16(1), u16(2), u16(3), u16(4)); break;
    default: std::printf(" value %d", i32(0)); break;
    }
    std::printf("\n");
}

// Puts one request on the channel's queue and prints what comes back until the channel
// has been quiet for `quietMs`.
void request(bool v6, int channel, const char *what, uint32_t node, uint32_t address, uint32_t index,
             uint32_t direction, int32_t length, const void *area = nullptr, size_t areaBytes = 0) {
    HostMsg *m = getMsgFromPool(channel);
    if (m == nullptr) {
        std::printf("%s: no message in the pool\n", what);
        return;
    }
    m->node = node;
    m->address = address;
    m->index = index;
    m->direction = direction;
    m->length = length;
    if (area != nullptr) std::memcpy(m->data, area, areaBytes);
    std::printf("%s (channel %d, node %u):\n", what, channel, node);
    putMsgToSapOq(channel, m);
    const int quietMs = 1500;
    for (;;) {
        HostMsg *r = rt::waitInputQueue(channel, quietMs);
        if (r == nullptr) {
            if (rt::outputQueueLength(channel) == 0) break;
            continue;
        }
        if (v6)
            printV6Message(r);
        else
            printMessage(r);
        const bool original = r == m;
        putMsgToPool(channel, r);
        if (original) break;
    }
}

OrvelTime hoursAgo(int hours) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr)) - hours * 3600LL;
    return static_cast<OrvelTime>(now * 10000000LL + 116444736000000000LL);
}

void readTelegramStation(int channel, uint32_t node) {
    request(false, channel, "picture 1, values 0-9", node, TELEGRAM_ADDRESS(KIND_PICTURE, 1), 0, DIR_READ, 20);
    request(false, channel, "daily report, 10 values", node, TELEGRAM_ADDRESS(KIND_REPORT, 0), 0, DIR_READ, 20);
    request(false, channel, "setpoints 1-8", node, TELEGRAM_ADDRESS(KIND_SETPOINTS, 0), 2, DIR_READ, 16);
    const OrvelTime from = hoursAgo(6);
    request(false, channel, "history of the last 6 hours", node, TELEGRAM_ADDRESS(KIND_HISTORY, 0), 0, DIR_READ, 4,
            &from, sizeof from);
    request(false, channel, "alarms", node, TELEGRAM_ADDRESS(KIND_ALARMS, 0), 0, DIR_READ, 1);
}

void readV6Station(int channel, uint32_t node) {
    request(true, channel, "picture 1 (WGS)", node, V6_ADDRESS(V6_WGS_PICTURE, 1), 0, DIR_READ, 2);
    request(true, channel, "daily report (WGD)", node, V6_ADDRESS(V6_WGD_REPORT, 0), 0, DIR_READ, 2);
    request(true, channel, "setpoint list (MCC)", node, V6_ADDRESS(V6_MCC_READ, 0), 0, DIR_READ, 2);
    request(true, channel, "alarm limits (MAS)", node, V6_ADDRESS(V6_MAS_READ, 0), 0, DIR_READ, 2);
    const OrvelTime from = hoursAgo(3);
    request(true, channel, "history of the last 3 hours (WGH)", node, V6_ADDRESS(V6_WGH_HISTORY, 0), 0,
            DIR_READ, 4, &from, sizeof from);
}

double cpuSeconds() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    if (!parseArgs(argc, argv, &opt)) return 2;

    if (!opt.verbose) rt::setTraceFile(nullptr);
    rt::setSyslog(false);
    std::optional<rt::ProfileError> perr;
    if (!opt.config.empty())
        perr = rt::loadProfile(opt.config);
    else if (opt.channels > 0)
        perr = rt::loadProfileText(profileFor(opt.channels), "<built-in>");
    else
        perr = rt::loadProfileText(kDefaultProfile, "<built-in>");
    if (perr) {
        std::fprintf(stderr, "hydrix-demo: %s\n", perr->what().c_str());
        return 2;
    }

    rt::DriverLibrary driver;
    std::string error;
    if (!driver.open(opt.library, &error)) {
        std::fprintf(stderr, "hydrix-demo: cannot load the driver: %s\n", error.c_str());
        return 2;
    }

    std::vector<Line> lines;
    if (!openLines(HYDRIX_CHANNELS, opt.idleSeconds == 0, &lines)) return 2;

    driver.drvInstall("Driver");
    for (const Line &l : lines) {
        const std::string section = "Chan" + std::to_string(l.channel);
        if (!driver.drvAddChan(l.channel, section.c_str()))
            std::fprintf(stderr, "hydrix-demo: drvAddChan(%d) refused the channel\n", l.channel);
        else if (!driver.drvInitComm(static_cast<uint32_t>(l.channel), getCommHandle(l.channel)))
            std::fprintf(stderr, "hydrix-demo: drvInitComm(%d) failed\n", l.channel);
    }
    driver.drvStart();
    std::printf("driver state %d (running)\n", driver.drvQueryState());

    if (opt.idleSeconds > 0) {
        const double cpu0 = cpuSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(opt.idleSeconds));
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = cpuSeconds() - cpu0;
        std::printf("idle %zu channels for %.1f s: %.3f s CPU, %.3f%% of one core\n", lines.size(), wall,
                    cpu, 100.0 * cpu / wall);
    } else {
        for (const Line &l : lines) {
            const std::string section = "Chan" + std::to_string(l.channel);
            const std::string nodes = rt::profileValue(section, "Nodes").value_or("");
            const uint32_t node = static_cast<uint32_t>(std::atoi(nodes.c_str()));
            if (l.telegram)
                readTelegramStation(l.channel, node);
            else
                readV6Station(l.channel, node);
        }
    }

    driver.drvStop();
    const auto stopStart = Clock::now();
    while (driver.drvQueryState() != DRV_STATE_STOPPED &&
           Clock::now() - stopStart < std::chrono::seconds(30)) {
        driver.drvHndlTimer();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::printf("driver state %d (stopped)\n", driver.drvQueryState());
    driver.drvUnInstall();
    for (Line &l : lines) {
        if (l.station) l.station->stop();
        rt::closeChannelPort(l.channel);
    }
    return 0;
}
