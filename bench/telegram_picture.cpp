// Back-to-back picture reads against the station simulator paced at 9600 baud over a
// pseudo-terminal: how close does the telegram engine come to the wire rate?
//
// Wire time of an exchange = (request bytes + reply bytes) x 10 bits / baud. The run
// keeps the channel's queue full and measures from the first result to the last, so the
// start-up of the worker does not count. Exit code 0 when the rate reaches 98%. (What idle
// channels cost is bench_idle_cpu's business.)
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "driver/state.h"
#include "runtime/runtime.h"
#include "station/station.h"

namespace {

constexpr int kBaud = 9600;
constexpr int kExchanges = 60;
constexpr double kTarget = 0.98;

hydrix::station::Model benchModel() {
    hydrix::station::Plant p;
    p.plantNumber = 12;
    hydrix::station::Picture pic;
    pic.header = {1, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 32; ++i) pic.values.push_back(100.25 + i);
    p.pictures[3] = pic;
    hydrix::station::Model m;
    m.plants = {p};
    return m;
}

void queuePicture() {
    HostMsg *m = getMsgFromPool(0);
    if (m == nullptr) return;
    m->node = 12;
    m->address = TELEGRAM_ADDRESS(KIND_PICTURE, 3);
    m->index = 0;
    m->length = 64;
    m->direction = DIR_READ;
    putMsgToSapOq(0, m);
}

}  // namespace

int main() {
    using Clock = std::chrono::steady_clock;
    namespace rt = hydrix::rt;
    rt::setTraceFile(nullptr);
    rt::setSyslog(false);
    if (auto e = rt::loadProfileText("[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n")) {
        std::fprintf(stderr, "%s\n", e->what().c_str());
        return 2;
    }
    std::string error;
    auto pty = hydrix::station::Pty::open(&error);
    if (!pty) {
        std::fprintf(stderr, "pty: %s\n", error.c_str());
        return 2;
    }
    rt::PortSettings settings;
    settings.device = pty->slavePath();
    settings.line.baudRate = kBaud;
    settings.line.byteSize = 8;
    if (auto e = rt::openChannelPort(0, settings)) {
        std::fprintf(stderr, "port: %s\n", e->c_str());
        return 2;
    }
    rt::configurePool(0, 64, 2048);
    hydrix::station::Simulator sim(pty->master(), benchModel());
    hydrix::station::Faults faults;
    faults.baud = kBaud;
    sim.setFaults(faults);
    sim.start();

    drvInstall("Driver");
    drvAddChan(0, "Chan0");
    drvInitComm(0, getCommHandle(0));
    for (int i = 0; i < 8; ++i) queuePicture();
    drvStart();

    Clock::time_point first{}, last{};
    int done = 0, failed = 0;
    while (done < kExchanges) {
        HostMsg *m = rt::waitInputQueue(0, 5000);
        if (m == nullptr) break;
        last = Clock::now();
        if (done == 0) first = last;
        failed += m->errGroup != 0 || m->errCode != 0;
        putMsgToPool(0, m);
        if (++done + 8 <= kExchanges + 1) queuePicture();
    }
    drvStop();
    while (drvQueryState() != DRV_STATE_STOPPED) drvHndlTimer();
    drvUnInstall();
    sim.stop();

    const auto received = sim.receivedTelegrams();
    const auto sent = sim.sentTelegrams();
    if (done < kExchanges || received.size() < static_cast<size_t>(done) || sent.size() < static_cast<size_t>(done)) {
        std::printf("only %d of %d exchanges completed\n", done, kExchanges);
        return 1;
    }
    // Exchanges 2..done lie between the first and the last result.
    size_t bytes = 0;
    for (int i = 1; i < done; ++i) bytes += received[i].size() + sent[i].size();
    const double wire = static_cast<double>(bytes) * 10.0 / kBaud;
    const double elapsed = std::chrono::duration<double>(last - first).count();
    const double rate = wire / elapsed;
    std::printf("picture reads: %d (%d failed), request %zu bytes, reply %zu bytes\n", done, failed, received[1].size(),
                sent[1].size());
    std::printf("wire time %.3f s, elapsed %.3f s, rate %.1f%% of the wire rate at %d baud (target %.0f%%)\n", wire,
                elapsed, rate * 100.0, kBaud, kTarget * 100.0);
    return rate >= kTarget && failed == 0 ? 0 : 1;
}
