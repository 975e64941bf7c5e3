// The gateway under load: `hydrix serve` on 8 lines (4 telegram-engine, 4 v6-engine
// channels) to simulated stations paced at 9600 baud, each line polled as fast as it
// allows, while Modbus TCP clients read the values in a loop. Measures each request's
// answer time and the gateway process's processor time (from /proc/PID/stat); the
// stations run in this program, on pseudo-terminals, so their work is not counted.
// The gateway's other front ends are on as a site would run them: MQTT and the Sparkplug B
// edge node to a real mosquitto this program starts, and /metrics scraped every second.
// Targets: p99 answer time below 5 ms and the gateway below 5% of a core. Exit 1 when a
// target is missed or a read fails.
//
//   bench_serve_modbus [SECONDS=20] [CLIENTS=20] [PAUSE_MS=0] [BURST_MS=8]
//
// PAUSE_MS: each client waits this long between its requests (0: back to back).
// BURST_MS: the stations' bytes reach the gateway in bursts this often, as a serial
// port delivers them (a 16550 UART at its usual FIFO trigger level: 8 bytes, about 8 ms
// at 9600 baud; a USB adapter: its latency timer, 16 ms by default). 0: byte by byte,
// as no real port does - each byte then wakes the reading thread.
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "station/station.h"
#include "../tests/serve/mqtt_harness.h"
#include "../tests/serve/serve_harness.h"

namespace {

namespace st = hydrix::station;
using Clock = std::chrono::steady_clock;

constexpr int kTelegramChannels = 4, kV6Channels = 4, kChannels = kTelegramChannels + kV6Channels;
constexpr int kBaud = 9600;
constexpr double kCpuLimit = 0.05;  // of one core
constexpr double kP99LimitMs = 5.0;

// utime + stime of a process, in seconds.
double processCpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');  // the command name may hold blanks
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields from the state on (field 3); utime and stime are fields 14 and 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (n == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double loadAverage() {
    double one = -1;
    std::ifstream("/proc/loadavg") >> one;
    return one;
}

// A station per channel on its own pseudo-terminal: plant 12 on the telegram channels,
// station 7 (v6 framing) on the others.
struct Stations {
    std::optional<st::Pty> pty[kChannels];
    std::unique_ptr<st::Simulator> sim[kChannels];

    explicit Stations(int burstMs) {
        for (int c = 0; c < kChannels; ++c) {
            std::string error;
            pty[c] = st::Pty::open(&error);
            if (!pty[c]) throw std::runtime_error("pseudo-terminal: " + error);
            sim[c] = std::make_unique<st::Simulator>(pty[c]->master(), st::defaultModel());
            sim[c]->setKeepTelegrams(false);
            st::Faults f;
            f.baud = kBaud;
            f.burstMs = burstMs;
            f.v6Framing = c >= kTelegramChannels;
            sim[c]->setFaults(f);
            sim[c]->start();
        }
    }
    ~Stations() {
        for (auto &s : sim) s->stop();
    }
    int requests(int c) const { return sim[c]->counters().requests; }

    // Each channel's picture 1 read at the shortest interval a profile takes (100 ms): a
    // read at 9600 baud takes longer, so every line is busy all the time. Unit c+1 is
    // channel c.
    std::string profile(int port, int httpPort, const std::string &broker, const std::string &outbox) const {
        std::string chans, items, units;
        for (int c = 0; c < kChannels; ++c) {
            const bool v6 = c >= kTelegramChannels;
            const std::string n = std::to_string(c), node = v6 ? "7" : "12";
            chans += "[Chan" + n + "]\nNodes=" + node + "\nBaudrate=" + std::to_string(kBaud) +
                     "\nPort=" + pty[c]->slavePath() + "\n";
            chans += v6 ? "HYDRIXDefault=0\nDeviceName=LINE" + n + "\n" : "[Chan" + n + "\\Node12]\nPlantNumber=12\n";
            items += (c ? ", " : "") + n + "/" + node + (v6 ? ":picture:1:1-5" : ":picture:1:0-5") + " every=100ms";
            units += (c ? ", " : "") + n + "/" + node + ":" + std::to_string(c + 1);
        }
        return chans + "[Serve]\nItems=" + items + "\nUnits=" + units + "\nModbus=127.0.0.1:" + std::to_string(port) +
               "\nHttp=127.0.0.1:" + std::to_string(httpPort) + "\nMqtt=" + broker + "\nOutbox=" + outbox +
               "\nSparkplug=1\nSparkplugGroupId=bench\nSparkplugEdgeNodeId=gateway\n";
    }
};

struct ClientResult {
    std::vector<double> ms;  // answer time of each request
    long failed = 0;
    bool connected = false;
};

double percentile(const std::vector<double> &sorted, double p) {
    if (sorted.empty()) return 0;
    const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
    return sorted[i];
}

}  // namespace

int main(int argc, char **argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int clients = argc > 2 ? std::atoi(argv[2]) : 20;
    const int pauseMs = argc > 3 ? std::atoi(argv[3]) : 0;
    const int burstMs = argc > 4 ? std::atoi(argv[4]) : 8;
    if (seconds <= 0 || clients <= 0 || pauseMs < 0 || burstMs < 0) {
        std::fprintf(stderr, "usage: bench_serve_modbus [SECONDS=20] [CLIENTS=20] [PAUSE_MS=0] [BURST_MS=8]\n");
        return 2;
    }

    Stations stations(burstMs);
    const int port = servetest::freePort(), httpPort = servetest::freePort();
    servetest::Broker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "bench_serve_modbus: mosquitto did not start\n");
        return 1;
    }
    const servetest::TempOutbox outbox;
    const servetest::TempFile ini(stations.profile(port, httpPort, broker.address(), outbox.path()));
    const std::vector<std::string> config{"--config", ini.path()};
    const auto map = servetest::printedMap(config);

    std::vector<std::string> args = config;
    args.push_back("serve");
    servetest::Gateway gateway(args);
    if (!gateway.waitForLog("modbus: listening") || !gateway.waitForLog("Sparkplug: connected")) {
        std::fprintf(stderr, "the gateway did not start:\n%s", gateway.log().c_str());
        return 1;
    }

    // Each unit's whole block (values and status), and where its quality register is.
    struct Block {
        int unit, registers = 0, quality = -1;
    };
    std::vector<Block> blocks;
    for (int u = 1; u <= kChannels; ++u) blocks.push_back({u});
    for (const auto &e : map) {
        Block &b = blocks.at(static_cast<size_t>(e.unit - 1));
        b.registers = std::max(b.registers, e.address + e.registers);
        if (e.meaning.rfind("quality", 0) == 0) b.quality = e.address;
    }
    const bool good = servetest::waitUntil(20000, [&] {
        for (const Block &b : blocks) {
            servetest::Client c(port, b.unit);
            std::vector<uint16_t> q;
            if (!c.read(b.quality, 1, &q) || q[0] != 0) return false;
        }
        return true;
    });
    if (!good) {
        std::fprintf(stderr, "the items did not read good within 20 s:\n%s", gateway.log().c_str());
        return 1;
    }

    std::printf(
        "gateway pid %d: %d lines at %d baud (%d telegram, %d v6, bytes in bursts of %d ms), %d clients, "
        "pause %d ms, %d s; load average before: %.2f on %u cores\n",
        gateway.pid(), kChannels, kBaud, kTelegramChannels, kV6Channels, burstMs, clients, pauseMs, seconds,
        loadAverage(), std::thread::hardware_concurrency());
    std::fflush(stdout);

    std::vector<int> requestsBefore(kChannels);
    for (int c = 0; c < kChannels; ++c) requestsBefore[c] = stations.requests(c);
    std::atomic<bool> stop{false};
    std::vector<ClientResult> results(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    const double cpuBefore = processCpuSeconds(gateway.pid());
    const auto start = Clock::now();
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            const Block &b = blocks[static_cast<size_t>(i % kChannels)];
            ClientResult &r = results[static_cast<size_t>(i)];
            servetest::Client c(port, b.unit);
            r.connected = c.connected();
            if (!r.connected) return;
            r.ms.reserve(1 << 16);
            std::vector<uint16_t> regs;
            while (!stop.load(std::memory_order_relaxed)) {
                const auto t0 = Clock::now();
                const bool ok = c.read(0, b.registers, &regs);
                r.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                if (!ok) ++r.failed;
                if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            }
        });
    }
    // The stations' values change all the time (each value every 100 ms), so that every
    // read brings news for MQTT and Sparkplug to publish, as a busy site's would.
    threads.emplace_back([&] {
        for (int tick = 1; !stop.load(std::memory_order_relaxed); ++tick) {
            for (auto &sim : stations.sim)
                sim->editModel([tick](st::Model &m) {
                    for (st::Plant &p : m.plants)
                        for (double &v : p.pictures.at(1).values) v = std::floor(v) + (tick % 100) / 100.0;
                });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // The gateway's processor time, sampled each second: the whole run's share and the
    // busiest second. /metrics is scraped each second meanwhile, as a Prometheus would.
    double busiest = 0, last = cpuBefore;
    int scraped = 0;
    httplib::Client http("127.0.0.1", httpPort);
    for (int s = 0; s < seconds; ++s) {
        if (auto res = http.Get("/metrics"); res && res->status == 200) ++scraped;
        std::this_thread::sleep_until(start + std::chrono::seconds(s + 1));
        const double now = processCpuSeconds(gateway.pid());
        busiest = std::max(busiest, now - last);
        last = now;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = (last - cpuBefore) / wall;
    stop = true;
    for (auto &t : threads) t.join();
    const double loadAfter = loadAverage();

    std::vector<double> all;
    long failed = 0;
    int connected = 0;
    for (const ClientResult &r : results) {
        all.insert(all.end(), r.ms.begin(), r.ms.end());
        failed += r.failed;
        connected += r.connected ? 1 : 0;
    }
    std::sort(all.begin(), all.end());
    const double p99 = percentile(all, 0.99);
    std::printf("requests %zu (%.0f/s), failed %ld, clients connected %d/%d\n", all.size(),
                static_cast<double>(all.size()) / wall, failed, connected, clients);
    std::printf("answer time: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(all, 0.5), p99,
                all.empty() ? 0.0 : all.back());
    std::printf("gateway CPU: %.2f%% of a core over the run, %.2f%% in the busiest second\n", cpu * 100, busiest * 100);
    std::printf("/metrics scraped %d of %d seconds\n", scraped, seconds);
    // What the Sparkplug edge node published (the broker's own count, whole run).
    size_t ddata = 0;
    for (int c = 0; c < kChannels; ++c)
        ddata += broker.received("spBv1.0/bench/DDATA/gateway/" + std::to_string(c) + "-" +
                                 (c >= kTelegramChannels ? "7" : "12"));
    std::printf("Sparkplug: %zu DDATA at the broker, %zu NBIRTH\n", ddata,
                broker.received("spBv1.0/bench/NBIRTH/gateway"));
    std::printf("line polls per second:");
    bool linesBusy = true;
    for (int c = 0; c < kChannels; ++c) {
        const double rate = (stations.requests(c) - requestsBefore[c]) / wall;
        linesBusy = linesBusy && rate > 0;
        std::printf(" %.1f", rate);
    }
    std::printf("  (channels 0-%d telegram, %d-%d v6)\nload average after: %.2f\n", kTelegramChannels - 1,
                kTelegramChannels, kChannels - 1, loadAfter);

    const bool pass = cpu < kCpuLimit && p99 < kP99LimitMs && failed == 0 && connected == clients && linesBusy;
    std::printf("%s: CPU %.2f%% (< %.0f%%), p99 %.3f ms (< %.0f ms)%s\n", pass ? "PASS" : "FAIL", cpu * 100,
                kCpuLimit * 100, p99, kP99LimitMs,
                failed || connected != clients ? ", but reads failed"
                : !linesBusy                   ? ", but a line was not polled"
                                               : "");
    return pass ? 0 : 1;
}
