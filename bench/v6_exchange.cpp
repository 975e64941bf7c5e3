// What the v6 engine adds to an exchange beyond the time the bytes spend on the line,
// and how eight channels compare with one, against the station simulator over ptys.
//
//   bench_v6_exchange [exchanges]
//
// An exchange is a picture read of seven values on channel 0. First with the station's
// replies written at once (no line time): the engine's share is (station has read the
// telegram - channel thread took the request) + (host has the last value - station wrote
// the reply). Then with the line paced at 9600 baud: the whole exchange from the request
// being taken, less the time its bytes take on the line. Exchanges are 150 ms apart, so
// that the pauses the transmitter and receiver take after each frame are over; the
// throughput figures run exchanges back to back, pauses included. Before all that, the
// processor time of the whole process while all eight channels sit idle.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/state.h"
#include "runtime/runtime.h"
#include "station/station.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace hydrix;

constexpr int kValues = 7;

station::Model model() {
    station::Plant p;
    p.plantNumber = 12;
    p.pictures[3] = station::Picture{{1, 2, 3, 5, 0, 0, 0, 0}, {100, 101, 102, 103, 104, 105, 106, 107}};
    station::Model m;
    m.plants = {p};
    return m;
}

struct Line {
    station::Pty pty;
    std::unique_ptr<station::Simulator> sim;
    std::mutex m;
    Clock::time_point telegramIn, replyOut;
};

double seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void queueRead(int c) {
    HostMsg *msg = getMsgFromPool(c);
    msg->node = 12;
    msg->address = V6_ADDRESS(V6_WGS_PICTURE, 3);
    msg->direction = DIR_READ;
    msg->index = 0;
    putMsgToSapOq(c, msg);
}

// Waits for the values of one read; the moment the last one came, or nothing on time-out.
std::optional<Clock::time_point> awaitValues(int c) {
    for (int got = 0; got < kValues; ++got) {
        HostMsg *m = rt::waitInputQueue(c, 15000);
        if (m == nullptr) return std::nullopt;
        putMsgToPool(c, m);
    }
    return Clock::now();
}

void summary(const char *what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    std::printf("  %-34s mean %7.3f ms  median %7.3f ms  max %7.3f ms\n", what, sum / static_cast<double>(v.size()),
                v[v.size() / 2], v.back());
}

double throughput(int channels, int exchanges) {
    std::atomic<int> failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (int c = 0; c < channels; ++c)
        workers.emplace_back([c, exchanges, &failed] {
            for (int i = 0; i < exchanges; ++i) {
                queueRead(c);
                if (!awaitValues(c)) ++failed;
            }
        });
    for (auto &w : workers) w.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (failed) std::printf("  (%d exchanges failed)\n", failed.load());
    return channels * exchanges / seconds;
}

}  // namespace

int main(int argc, char **argv) {
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 40;
    rt::setTraceFile(nullptr);
    rt::setSyslog(false);

    std::string profile;
    for (int c = 0; c < HYDRIX_CHANNELS; ++c)
        profile += "[Chan" + std::to_string(c) + "]\nHYDRIXDefault=0\nDeviceName=line\nNodes=12\n";
    if (auto e = rt::loadProfileText(profile)) {
        std::fprintf(stderr, "%s\n", e->what().c_str());
        return 1;
    }
    drvInstall("Driver");
    std::vector<std::unique_ptr<Line>> lines;
    for (int c = 0; c < HYDRIX_CHANNELS; ++c) {
        auto line = std::make_unique<Line>();
        std::string error;
        auto pty = station::Pty::open(&error);
        if (!pty) {
            std::fprintf(stderr, "pty: %s\n", error.c_str());
            return 1;
        }
        line->pty = std::move(*pty);
        rt::PortSettings settings;
        settings.device = line->pty.slavePath();
        settings.line.baudRate = 9600;
        settings.line.byteSize = 8;
        if (auto e = rt::openChannelPort(c, settings)) {
            std::fprintf(stderr, "port: %s\n", e->c_str());
            return 1;
        }
        drvAddChan(c, ("Chan" + std::to_string(c)).c_str());
        drvInitComm(static_cast<uint32_t>(c), getCommHandle(c));
        rt::configurePool(c, 64, 256);
        line->sim = std::make_unique<station::Simulator>(line->pty.master(), model());
        station::Faults f;
        f.v6Framing = true;
        line->sim->setFaults(f);
        Line *l = line.get();
        line->sim->setTrace([l](bool incoming, const std::string &) {
            std::lock_guard lock(l->m);
            (incoming ? l->telegramIn : l->replyOut) = Clock::now();
        });
        lines.push_back(std::move(line));
    }
    drvStart();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID), wall0 = seconds(CLOCK_MONOTONIC);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double idle = (seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0) / (seconds(CLOCK_MONOTONIC) - wall0);
    std::printf("8 idle v6 channels: %.3f%% of one core\n", idle * 100);
    for (auto &l : lines) l->sim->start();

    std::printf("v6 exchange: picture read of %d values, %d exchanges\n", kValues, exchanges);
    for (int baud : {0, 9600}) {
        station::Faults f = lines[0]->sim->faults();
        f.baud = baud;
        lines[0]->sim->setFaults(f);
        std::vector<double> sendSide, receiveSide, engine, overLine;
        for (int i = 0; i < exchanges + 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            queueRead(0);
            while (v6Channels[0].state.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
            const auto taken = Clock::now();
            const auto done = awaitValues(0);
            if (!done) {
                std::fprintf(stderr, "exchange %d: no reply\n", i);
                return 1;
            }
            Clock::time_point in, out;
            {
                std::lock_guard lock(lines[0]->m);
                in = lines[0]->telegramIn;
                out = lines[0]->replyOut;
            }
            if (i == 0) continue;  // warm-up
            if (baud == 0) {
                sendSide.push_back(ms(in - taken));
                receiveSide.push_back(ms(*done - out));
                engine.push_back(ms(in - taken) + ms(*done - out));
            } else {
                const auto sent = lines[0]->sim->sentTelegrams();
                const auto got = lines[0]->sim->receivedTelegrams();
                const double bytes = static_cast<double>(sent.back().size() + got.back().size());
                overLine.push_back(ms(*done - taken) - bytes * 10.0 * 1000.0 / baud);
            }
        }
        if (baud == 0) {
            std::printf("replies written at once:\n");
            summary("request taken -> telegram read", sendSide);
            summary("reply written -> values delivered", receiveSide);
            summary("engine share of the exchange", engine);
        } else {
            std::printf("line paced at %d baud:\n", baud);
            summary("exchange beyond line time", overLine);
        }
    }
    station::Faults f = lines[0]->sim->faults();
    f.baud = 0;
    lines[0]->sim->setFaults(f);

    const int rounds = std::max(10, exchanges / 2);
    const double one = throughput(1, rounds);
    const double eight = throughput(HYDRIX_CHANNELS, rounds);
    std::printf("back to back, replies written at once:\n");
    std::printf("  throughput: 1 channel %.1f exchanges/s, 8 channels %.1f exchanges/s (%.2fx)\n", one, eight,
                eight / one);

    drvStop();
    for (int i = 0; i < 400 && drvQueryState() != DRV_STATE_STOPPED; ++i) {
        drvHndlTimer();
        usleep(50000);
    }
    for (auto &l : lines) l->sim->stop();
    drvUnInstall();
    return 0;
}
