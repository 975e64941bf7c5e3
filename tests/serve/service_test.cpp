// hydrix serve as a Type=notify service: it says READY once it serves, RELOADING and
// READY around a SIGHUP, STOPPING at the end, and feeds the watchdog only while every
// line's thread keeps coming round. The service manager's notify socket is played by a
// datagram socket of the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "mqtt_harness.h"
#include "mqtt_stations.h"
#include "serve_harness.h"

namespace servetest {
namespace {

using Clock = std::chrono::steady_clock;

class NotifySocket {
public:
    NotifySocket() {
        path_ = "/tmp/hydrix-notify-" + std::to_string(getpid());
        unlink(path_.c_str());
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path_.c_str());
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        reader_ = std::thread([this] { read(); });
    }
    ~NotifySocket() {
        stop_ = true;
        reader_.join();
        close(fd_);
        unlink(path_.c_str());
    }
    bool bound() const { return bound_; }
    const std::string &path() const { return path_; }
    struct Message {
        Clock::time_point at;
        std::string text;
    };
    std::vector<Message> messages() {
        std::lock_guard lock(mutex_);
        return got_;
    }
    size_t count(const std::string &part) {
        size_t n = 0;
        for (const Message &m : messages()) n += m.text.find(part) != std::string::npos;
        return n;
    }

private:
    void read() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[512];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) continue;
            std::lock_guard lock(mutex_);
            got_.push_back({Clock::now(), std::string(buf, static_cast<size_t>(n))});
        }
    }
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    std::mutex mutex_;
    std::vector<Message> got_;
};

// The longest time between two watchdog feeds after `from`.
std::chrono::milliseconds longestGap(const std::vector<NotifySocket::Message> &all, Clock::time_point from,
                                     Clock::time_point to) {
    Clock::time_point last = from;
    Clock::duration longest{};
    for (const auto &m : all)
        if (m.at > from && m.at < to && m.text.find("WATCHDOG=1") != std::string::npos) {
            longest = std::max(longest, m.at - last);
            last = m.at;
        }
    longest = std::max(longest, to - last);
    return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
}

TEST(GatewayService, SaysReadyReloadingAndStoppingAndFeedsTheWatchdogOnlyWhileItsLinesAreServed) {
    NotifySocket notify;
    ASSERT_TRUE(notify.bound());
    setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
    setenv("WATCHDOG_USEC", "1000000", 1);  // 1 s: fed every half second
    Stations stations;
    Broker broker;  // not used: MQTT off
    const TempOutbox outbox;
    const TempFile ini(
        stations.profile(broker, outbox.path(), "Items=12:picture:1:0-2 every=1s, 7:picture:1:1-2 every=1s\n"));
    Gateway g({"--config", ini.path(), "serve", "--mqtt", "off", "--modbus", "off"});
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(waitUntil(10000, [&] { return notify.count("READY=1") == 1; })) << g.log();
    ASSERT_TRUE(waitUntil(5000, [&] { return notify.count("WATCHDOG=1") >= 4; })) << g.log();
    const auto healthy = Clock::now();
    EXPECT_LT(longestGap(notify.messages(), healthy - std::chrono::seconds(1), healthy).count(), 1000);

    // Station 12 goes silent: its line's thread waits out each request (7.5 s), and the
    // watchdog goes unfed meanwhile.
    st::Faults silent;
    silent.silent = true;
    stations.sim(12).setFaults(silent);
    ASSERT_TRUE(g.waitForLog("read failed", 20000)) << g.log();
    const auto failing = Clock::now();
    EXPECT_GT(longestGap(notify.messages(), healthy, failing).count(), 3000) << "fed while a line hung";
    stations.sim(12).setFaults({});
    ASSERT_TRUE(g.waitForLog("reads again", 20000)) << g.log();

    g.signal(SIGHUP);
    ASSERT_TRUE(waitUntil(5000, [&] { return notify.count("RELOADING=1") == 1 && notify.count("READY=1") == 2; }))
        << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(15000), 0);
    EXPECT_TRUE(waitUntil(2000, [&] { return notify.count("STOPPING=1") == 1; }));
}

}  // namespace
}  // namespace servetest
