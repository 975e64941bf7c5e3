// No alarm lost on any path, against a real mosquitto: a broker that comes only after the
// gateway started, a gateway without MQTT, an outbox that cannot store (locked by another
// program, a full disk, its limit reached, a corrupt file). Where an alarm cannot be
// stored it stays at the station (v6 engine: not acknowledged) or, for the telegram
// engine whose driver lets go of each alarm it delivers, in the gateway's memory until
// the outbox takes it; either way it reaches the broker once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <nlohmann/json.hpp>

#include "mqtt_harness.h"
#include "mqtt_stations.h"
#include "serve_harness.h"

namespace servetest {
namespace {

std::vector<st::Alarm> alarmsFrom(int first, int count, int minute) {
    std::vector<st::Alarm> out;
    for (int i = 0; i < count; ++i) out.push_back(st::Alarm{first + i, {2026, 12, 2, 10, minute}, i});
    return out;
}

std::set<int> codesOf(const std::vector<st::Alarm> &alarms) {
    std::set<int> codes;
    for (const st::Alarm &a : alarms) codes.insert(a.code);
    return codes;
}

const std::string kAlarmsOnly = "Items=12:picture:1:0-2 every=1s\nAlarms=12 every=1s, 7 every=1s\n";

TEST(GatewayAlarmLoss, ABrokerThatComesLongAfterTheStartIsConnectedAndGetsEveryAlarm) {
    Stations stations;
    std::set<int> expected = alarmCodes(stations.sim(12).model());
    for (int c : alarmCodes(stations.sim(7).model())) expected.insert(c);
    Broker broker;  // down when the gateway starts
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path()));
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(g.waitForLog("not reachable yet")) << g.log();
    ASSERT_TRUE(waitUntil(20000, [&] { return occurrences(g.log(), ": alarm ") == expected.size(); })) << g.log();
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/+/alarms");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    ASSERT_TRUE(g.waitForLog("MQTT: connected to", 45000)) << g.log();
    ASSERT_TRUE(waitUntil(20000, [&] { return alarmCodesSeen(sub) == expected; })) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    expectEachAlarmOnce(sub, expected);
}

TEST(GatewayAlarmLoss, WithoutMqttAlarmsAreNotFetchedAndCheckSaysSo) {
    Stations stations;
    const size_t alarms12 = stations.sim(12).model().find(12)->alarms.size();
    const size_t alarms7 = stations.sim(7).model().find(7)->alarms.size();
    Broker broker;  // never started: MQTT is off
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path()));
    Gateway g({"--config", ini.path(), "serve", "--mqtt", "off"});
    ASSERT_TRUE(g.waitForLog("no MQTT: alarms of 2 and history of 2 station(s) are not fetched")) << g.log();
    // Several rounds of reads go by; the stations keep every alarm.
    ASSERT_TRUE(waitUntil(10000, [&] { return stations.sim(12).book().requests >= 4; })) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    EXPECT_EQ(stations.sim(12).model().find(12)->alarms.size(), alarms12);
    EXPECT_EQ(stations.sim(7).model().find(7)->alarms.size(), alarms7);
    EXPECT_TRUE(stations.sim(12).book().alarmsAcked.empty());
    EXPECT_TRUE(stations.sim(7).book().alarmsAcked.empty());

    // A profile whose alarms have nowhere to go is pointed out before it runs.
    const TempFile noMqtt("[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\nAlarms=12\nModbus=off\n");
    const Outcome checked = runHydrix({"--config", noMqtt.path(), "check"});
    EXPECT_NE((checked.out + checked.err).find("Alarms and History need Mqtt="), std::string::npos)
        << checked.out << checked.err;
}

// Holds the outbox's write lock, as another program on the host might.
class OutboxLock {
public:
    explicit OutboxLock(const std::string &path) {
        sqlite3_open(path.c_str(), &db_);
        ok_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~OutboxLock() { release(); }
    bool held() const { return ok_; }
    void release() {
        if (!db_) return;
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
        db_ = nullptr;
    }

private:
    sqlite3 *db_ = nullptr;
    bool ok_ = false;
};

TEST(GatewayAlarmLoss, WhileAnotherProgramLocksTheOutboxAlarmsStayAtTheStation) {
    Stations stations;
    stations.setAlarms(12, {});
    stations.setAlarms(7, {});
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/#");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path(), kAlarmsOnly));
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(g.waitForLog("MQTT: connected to")) << g.log();

    // Once the gateway has found the outbox locked, the stations get new alarms.
    OutboxLock lock(outbox.path());
    ASSERT_TRUE(lock.held());
    ASSERT_TRUE(g.waitForLog("channel 1 node 7: alarms not fetched (database is locked)", 20000)) << g.log();
    ASSERT_TRUE(g.waitForLog("channel 0 node 12: alarms not fetched (database is locked)", 20000)) << g.log();
    const auto seven = alarmsFrom(1004, 2, 0), twelve = alarmsFrom(1204, 2, 0);
    stations.setAlarms(7, seven);
    stations.setAlarms(12, twelve);
    std::this_thread::sleep_for(std::chrono::seconds(6));  // a few fetches' time
    EXPECT_TRUE(waitUntil(10000, [&] { return lastPayload(sub, "hydrix/outbox").find("fault") != std::string::npos; }));
    EXPECT_EQ(stations.sim(7).model().find(7)->alarms.size(), 2u) << "alarms left the station";
    EXPECT_EQ(stations.sim(12).model().find(12)->alarms.size(), 2u) << "alarms left the station";

    lock.release();
    std::set<int> expected = codesOf(seven);
    for (int c : codesOf(twelve)) expected.insert(c);
    ASSERT_TRUE(waitUntil(30000, [&] { return alarmCodesSeen(sub) == expected; })) << g.log();
    EXPECT_TRUE(waitUntil(5000, [&] { return lastPayload(sub, "hydrix/outbox") == "ok"; }));
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    expectEachAlarmOnce(sub, expected);
}

// A small filesystem of its own (tmpfs, which needs the right to mount), for a full disk.
class SmallDisk {
public:
    SmallDisk() {
        char dir[] = "/tmp/hydrix-disk-XXXXXX";
        if (!mkdtemp(dir)) return;
        dir_ = dir;
        mounted_ = mount("tmpfs", dir, "tmpfs", 0, "size=2m") == 0;
    }
    ~SmallDisk() {
        if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    bool mounted() const { return mounted_; }
    const std::string &dir() const { return dir_; }
    // Fills what is left; the filler goes on free().
    void fill() {
        std::ofstream out(dir_ + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (out.write(block.data(), block.size()) && out.flush()) {}
    }
    void free() { std::remove((dir_ + "/filler").c_str()); }

private:
    std::string dir_;
    bool mounted_ = false;
};

TEST(GatewayAlarmLoss, OnAFullDiskAlarmsAreNotAcknowledgedOrHeldUntilStoredAndArriveOnce) {
    SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "no right to mount a tmpfs here";
    Stations stations;
    stations.setAlarms(12, {});
    stations.setAlarms(7, {});
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/+/alarms");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempFile ini(stations.profile(broker, disk.dir() + "/outbox.db", kAlarmsOnly));
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(g.waitForLog("MQTT: connected to")) << g.log();

    disk.fill();
    const auto seven = alarmsFrom(1004, 3, 1), twelve = alarmsFrom(1204, 3, 1);
    stations.setAlarms(7, seven);
    stations.setAlarms(12, twelve);
    ASSERT_TRUE(g.waitForLog("alarm(s) of node 7 NOT stored", 20000)) << g.log();
    ASSERT_TRUE(g.waitForLog("held in memory until the outbox takes it", 20000)) << g.log();
    // The v6 station was never told to let go of its alarm.
    EXPECT_EQ(stations.sim(7).model().find(7)->alarms.size(), 3u);
    EXPECT_TRUE(stations.sim(7).book().alarmsAcked.empty());

    disk.free();
    std::set<int> expected = codesOf(seven);
    for (int c : codesOf(twelve)) expected.insert(c);
    ASSERT_TRUE(waitUntil(30000, [&] { return alarmCodesSeen(sub) == expected; })) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    expectEachAlarmOnce(sub, expected);
    EXPECT_EQ(broker.received("hydrix/7/alarms"), 3u);
    EXPECT_EQ(broker.received("hydrix/12/alarms"), 3u);
}

TEST(GatewayAlarmLoss, AFullOutboxLeavesAlarmsAtTheStationUntilTheBrokerTakesSome) {
    Stations stations;
    stations.setAlarms(12, {});
    const auto seven = alarmsFrom(3000, 5, 2);
    stations.setAlarms(7, seven);
    Broker broker;  // down: the outbox fills
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path(), kAlarmsOnly + "OutboxLimit=2\n"));
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(g.waitForLog("the outbox is full", 20000)) << g.log();
    EXPECT_EQ(stations.sim(7).model().find(7)->alarms.size(), 3u) << g.log();

    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/+/alarms");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    ASSERT_TRUE(waitUntil(45000, [&] { return alarmCodesSeen(sub) == codesOf(seven); })) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    expectEachAlarmOnce(sub, codesOf(seven));
}

TEST(GatewayAlarmLoss, ACorruptOutboxIsMovedAsideAndAnUnusableOneSaysWhy) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    const TempOutbox outbox;
    std::ofstream(outbox.path()) << std::string(8192, 'Z');  // no database at all
    const std::string serve =
        "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\n"
        "Items=12:picture:1:0-2 every=1s\nModbus=off\nMqtt=" +
        broker.address() + "\n";
    const TempFile ini(serve + "Outbox=" + outbox.path() + "\n");
    {
        Gateway g({"--config", ini.path(), "--simulate", "serve"});
        ASSERT_TRUE(g.waitForLog("MQTT: connected to")) << g.log();
        EXPECT_NE(g.log().find("moved aside to " + outbox.path() + ".corrupt-"), std::string::npos) << g.log();
        g.signal(SIGTERM);
        EXPECT_EQ(g.wait(10000), 0);
    }
    const std::filesystem::path dir = std::filesystem::path(outbox.path()).parent_path();
    const std::string stem = std::filesystem::path(outbox.path()).filename().string() + ".corrupt-";
    int aside = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind(stem, 0) == 0) {
            ++aside;
            std::filesystem::remove(e.path());
        }
    EXPECT_EQ(aside, 1);

    // A directory that is not there: the system's reason and what to do, and exit 2.
    const TempFile nowhere(serve + "Outbox=/nonexistent-dir/outbox.db\n");
    const Outcome o = runHydrix({"--config", nowhere.path(), "--simulate", "serve"});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_NE(o.err.find("No such file or directory"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("set Outbox="), std::string::npos) << o.err;
}

TEST(GatewayAlarmLoss, TwoOccurrencesOfOneAlarmInOneMinuteThatDifferAfterTheTimeAreTwoAlarms) {
    // On each engine (station 12 telegram, 7 v6): 14-field lines (no seconds) of one code,
    // one minute and one state; they differ only in the fields after the flag.
    Stations stations;
    st::Alarm first{4100, {2026, 12, 3, 7, 30}};
    st::Alarm second = first;
    second.extra = {"1", "0", "0", "0", "0", "5"};
    stations.setAlarms(12, {first, second});
    stations.setAlarms(7, {first, second});
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/+/alarms");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path(), kAlarmsOnly));
    Gateway g({"--config", ini.path(), "serve"});
    for (int node : {12, 7})
        ASSERT_TRUE(waitUntil(20000, [&] { return stations.sim(node).model().find(node)->alarms.empty(); })) << g.log();
    ASSERT_TRUE(waitUntil(10000, [&] {
        return broker.received("hydrix/7/alarms") >= 2 && broker.received("hydrix/12/alarms") >= 2;
    })) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    EXPECT_EQ(broker.received("hydrix/7/alarms"), 2u) << g.log();
    EXPECT_EQ(broker.received("hydrix/12/alarms"), 2u) << g.log();
    EXPECT_EQ(g.log().find("taken before, not again"), std::string::npos) << g.log();
}

}  // namespace
}  // namespace servetest
