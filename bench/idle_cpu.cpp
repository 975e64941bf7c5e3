// What idle channels cost: starts channels of both engines on silent pseudo-terminals
// (every port configured as the host would), sends no request, and reports the processor
// time the process used, as a share of one core. Exit code 0 below 0.5%.
//
//   bench_idle_cpu [SECONDS=60] [TELEGRAM_CHANNELS=4] [V6_CHANNELS=4]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/hydrix_host.h"
#include "runtime/runtime.h"
#include "station/pty.h"

namespace {

namespace rt = hydrix::rt;
constexpr double kLimit = 0.005;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int telegram = argc > 2 ? std::atoi(argv[2]) : 4;
    const int v6 = argc > 3 ? std::atoi(argv[3]) : 4;
    const int channels = telegram + v6;
    if (seconds <= 0 || telegram < 0 || v6 < 0 || channels > HYDRIX_CHANNELS) {
        std::fprintf(stderr,
                     "usage: bench_idle_cpu [SECONDS] [TELEGRAM_CHANNELS] [V6_CHANNELS] (8 channels at most)\n");
        return 2;
    }
    rt::setTraceFile(nullptr);
    rt::setSyslog(false);
    std::string profile = "[Driver]\n";
    for (int c = 0; c < channels; ++c) {
        profile += "[Chan" + std::to_string(c) + "]\nNodes=1\n";
        if (c >= telegram) profile += "HYDRIXDefault=0\nDeviceName=IDLE\n";
    }
    if (auto err = rt::loadProfileText(profile)) {
        std::fprintf(stderr, "%s\n", err->what().c_str());
        return 2;
    }
    std::vector<hydrix::station::Pty> ptys;
    drvInstall("Driver");
    for (int c = 0; c < channels; ++c) {
        std::string error;
        auto pty = hydrix::station::Pty::open(&error);
        if (!pty) {
            std::fprintf(stderr, "pseudo-terminal: %s\n", error.c_str());
            return 2;
        }
        rt::PortSettings port;
        port.device = pty->slavePath();
        port.line.baudRate = 9600;
        port.line.byteSize = 8;
        if (auto err = rt::openChannelPort(c, port)) {
            std::fprintf(stderr, "channel %d: %s\n", c, err->c_str());
            return 2;
        }
        ptys.push_back(std::move(*pty));
        drvAddChan(c, ("Chan" + std::to_string(c)).c_str());
        drvInitComm(static_cast<uint32_t>(c), getCommHandle(c));
    }
    drvStart();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // start-up does not count
    const double before = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double share = (cpuSeconds() - before) / wall;
    drvStop();
    while (drvQueryState() != DRV_STATE_STOPPED) {
        drvHndlTimer();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    drvUnInstall();
    for (int c = 0; c < channels; ++c) rt::closeChannelPort(c);
    ptys.clear();
    std::printf("idle: %d telegram + %d v6 channels used %.3f%% of one core over %.1f s (limit %.1f%%)\n", telegram, v6,
                share * 100.0, wall, kLimit * 100.0);
    return share < kLimit ? 0 : 1;
}
