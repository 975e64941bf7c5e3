// The MQTT publisher against a real mosquitto broker: values, alarms and history arrive
// once each; a broker that is down, a gateway killed with SIGKILL and restarted, and a
// broker restarted under a running gateway lose nothing and duplicate nothing, counted
// against the stations' books.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <atomic>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "mqtt_harness.h"
#include "mqtt_stations.h"
#include "serve_harness.h"

namespace servetest {
namespace {

TEST(GatewayMqtt, ValuesAlarmsAndHistoryArriveOnceEach) {
    Stations stations;
    const int alarms12 = static_cast<int>(stations.sim(12).model().find(12)->alarms.size());
    const int alarms7 = static_cast<int>(stations.sim(7).model().find(7)->alarms.size());
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/#");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path()));
    {
        Gateway g({"--config", ini.path(), "serve"});
        ASSERT_TRUE(waitUntil(20000, [&] {
            return sub.count("/alarms") >= size_t(alarms12 + alarms7) && sub.count("/history") >= 48;
        })) << g.log();
        ASSERT_TRUE(waitUntil(5000, [&] { return !lastPayload(sub, "hydrix/7/picture1/2").empty(); })) << g.log();
        // Values: retained JSON with time and quality; station 7's come as whole numbers.
        const auto v = nlohmann::json::parse(lastPayload(sub, "hydrix/12/picture1/1"));
        EXPECT_EQ(v.at("value").get<double>(), 2.5);
        EXPECT_EQ(v.at("quality"), "good");
        EXPECT_EQ(v.at("time").get<std::string>().back(), 'Z');
        EXPECT_EQ(nlohmann::json::parse(lastPayload(sub, "hydrix/7/picture1/2")).at("value").get<double>(), 6.0);
        EXPECT_EQ(lastPayload(sub, "hydrix/status"), "online");
        EXPECT_EQ(lastPayload(sub, "hydrix/channel/1/status"), "online");
        g.signal(SIGTERM);
        EXPECT_EQ(g.wait(10000), 0) << g.log();
        EXPECT_NE(g.log().find("outbox: 0 message(s) waiting"), std::string::npos) << g.log();
    }
    EXPECT_TRUE(waitUntil(5000, [&] { return lastPayload(sub, "hydrix/status") == "offline"; }));
    const Tally t = tally(sub);
    EXPECT_EQ(t.alarms.size(), size_t(alarms12 + alarms7));
    for (const auto &[key, n] : t.alarms) EXPECT_EQ(n, 1) << "node " << key.first << " alarm " << key.second;
    EXPECT_EQ(t.history.size(), 48u);
    EXPECT_EQ(t.historyMessages, 48u);
    // The stations' books: every alarm they handed over (and forgot) was published.
    for (const int node : {12, 7})
        for (const int code : stations.sim(node).book().alarmsAcked)
            EXPECT_EQ(t.alarms.count({node, code}), 1u) << code;
}

TEST(GatewayMqtt, BrokerDownGatewayKilledAndBrokerRestartedLoseAndDuplicateNothing) {
    Stations stations;
    std::set<int> expected = alarmCodes(stations.sim(12).model());
    for (int c : alarmCodes(stations.sim(7).model())) expected.insert(c);
    Broker broker;  // not started: the broker is down
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path()));
    {
        Gateway g({"--config", ini.path(), "serve"});
        ASSERT_TRUE(g.waitForLog("not reachable yet")) << g.log();
        ASSERT_TRUE(waitUntil(20000, [&] {
            const std::string log = g.log();
            return occurrences(log, ": alarm ") == expected.size() && occurrences(log, ": history: ") == 2;
        })) << g.log();
        g.signal(SIGKILL);  // everything it took is in the outbox only
        EXPECT_EQ(g.wait(5000), 128 + SIGKILL);
    }
    EXPECT_TRUE(stations.sim(12).model().find(12)->alarms.empty()) << "the station still has its alarms";

    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/+/alarms");
    Subscriber history(broker.port(), "hydrix/+/history");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed() && history.subscribed(); }));
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(waitUntil(20000, [&] {
        return sub.count("/alarms") >= expected.size() && history.count("/history") >= 48;
    })) << g.log();

    // The broker goes away under the running gateway (once it has acknowledged what it
    // got: a message whose acknowledgement is lost with the broker goes again, QoS 1 is
    // at least once); two new alarms come meanwhile.
    ASSERT_TRUE(g.waitForLog("outbox: empty, ")) << g.log();
    broker.stop();
    ASSERT_TRUE(g.waitForLog("connection to " + broker.address() + " lost")) << g.log();
    stations.sim(12).editModel([](st::Model &m) { m.find(12)->alarms.push_back(st::Alarm{777, {2026, 12, 1, 8, 0}}); });
    stations.sim(7).editModel([](st::Model &m) { m.find(7)->alarms.push_back(st::Alarm{778, {2026, 12, 1, 8, 0}}); });
    expected.insert({777, 778});
    ASSERT_TRUE(g.waitForLog("alarm 777") && g.waitForLog("alarm 778")) << g.log();
    ASSERT_TRUE(broker.start());
    // Waits for the codes, not a message count: across the restart the broker may hand the
    // subscriber an earlier alarm again, and that must not end the wait early.
    ASSERT_TRUE(waitUntil(40000, [&] { return alarmCodesSeen(sub) == expected; })) << g.log() << broker.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    EXPECT_NE(g.log().find("outbox: 0 message(s) waiting"), std::string::npos) << g.log();

    // Every alarm and record arrived; the broker got each once from the gateway (a
    // subscriber may see one twice across the broker's restart: the broker delivers at
    // least once to it too, so the once is counted where the gateway sends).
    Tally t = tally(sub);
    const Tally h = tally(history);
    EXPECT_EQ(alarmCodesSeen(sub), expected);
    EXPECT_EQ(h.history.size(), 48u) << "history records lost";
    EXPECT_EQ(broker.received("hydrix/12/alarms"), 3u) << "alarms of station 12 published twice";
    EXPECT_EQ(broker.received("hydrix/7/alarms"), 3u) << "alarms of station 7 published twice";
    EXPECT_EQ(broker.received("hydrix/12/history"), 24u) << "history of station 12 published twice";
    EXPECT_EQ(broker.received("hydrix/7/history"), 24u) << "history of station 7 published twice";
    for (const int node : {12, 7})
        for (const int code : stations.sim(node).book().alarmsAcked)
            EXPECT_EQ(t.alarms.count({node, code}), 1u) << code;
}

TEST(GatewayMqtt, AGatewayKilledInTheMiddleOfAnAlarmFetchKeepsEveryAlarmTheStationLetGo) {
    Stations stations;
    std::set<int> expected;
    stations.sim(12).editModel([&](st::Model &m) {
        m.find(12)->alarms.clear();
        for (int i = 0; i < 30; ++i) {
            m.find(12)->alarms.push_back(st::Alarm{1000 + i, {2026, 12, 1, 8, i}});
            expected.insert(1000 + i);
        }
    });
    stations.sim(7).editModel([](st::Model &m) { m.find(7)->alarms.clear(); });
    st::Faults slow;
    slow.delayMs = 150;  // one alarm every few hundred milliseconds
    stations.sim(12).setFaults(slow);
    Broker broker;  // down while the first gateway runs
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path()));
    {
        Gateway g({"--config", ini.path(), "serve"});
        ASSERT_TRUE(waitUntil(30000, [&] { return occurrences(g.log(), ": alarm ") >= 5; })) << g.log();
        g.signal(SIGKILL);
        g.wait(5000);
    }
    const size_t letGo = stations.sim(12).book().alarmsAcked.size();
    ASSERT_LT(letGo, expected.size()) << "the gateway was not killed in the middle of the fetch";
    ASSERT_GE(letGo, 5u);

    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/+/alarms");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(waitUntil(40000, [&] { return sub.count("/alarms") >= expected.size(); })) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    expectEachAlarmOnce(sub, expected);
    const auto acked = stations.sim(12).book().alarmsAcked;
    EXPECT_EQ(std::set<int>(acked.begin(), acked.end()), expected);
}

TEST(GatewayMqtt, CredentialsAndTheCaFileOfTheProfileGetThroughATlsBroker) {
    Broker broker;
    ASSERT_TRUE(broker.secure("gateway", "s3cret")) << "could not make the certificates or the password file";
    ASSERT_TRUE(broker.start()) << broker.log();
    for (const std::string password : {"s3cret", "wrong"}) {
        SCOPED_TRACE(password);
        const TempOutbox outbox;
        const TempFile ini(
            "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\n"
            "Items=12:picture:1:0-2 every=1s\nModbus=off\nMqtt=" +
            broker.address() + "\nMqttUser=gateway\nMqttPassword=" + password + "\nMqttCaFile=" + broker.caFile() +
            "\nOutbox=" + outbox.path() + "\n");
        Gateway g({"--config", ini.path(), "--simulate", "serve"});
        if (password == "s3cret") {
            ASSERT_TRUE(g.waitForLog("MQTT: connected to")) << g.log() << broker.log();
            EXPECT_TRUE(waitUntil(10000, [&] { return broker.received("hydrix/12/picture1/0") >= 1; })) << broker.log();
        } else {
            EXPECT_TRUE(g.waitForLog("refused the connection")) << g.log();
            EXPECT_EQ(g.log().find("MQTT: connected to"), std::string::npos);
        }
        g.signal(SIGTERM);
        EXPECT_EQ(g.wait(10000), 0);
    }
}

TEST(GatewayMqtt, AnAlarmIsTakenOnceWhenTheAnswerAfterItsAcknowledgementOrTheAcknowledgementIsLost) {
    // Station 7 (v6): the answer that follows the first ALO is lost on the line (the station
    // has let go of the alarm by then); later, one ALO never reaches the station (it shows
    // the same alarm again).
    Stations stations;
    std::set<int> expected;
    stations.sim(12).editModel([](st::Model &m) { m.find(12)->alarms.clear(); });
    stations.sim(7).editModel([&](st::Model &m) {
        m.find(7)->alarms.clear();
        for (int i = 0; i < 4; ++i) {
            m.find(7)->alarms.push_back(st::Alarm{2000 + i, {2026, 12, 1, 9, i}});
            expected.insert(2000 + i);
        }
    });
    st::Simulator &sim = stations.sim(7);
    std::atomic<int> alos{0};
    std::atomic<bool> loseSet{false};
    sim.setTrace([&](bool incoming, const std::string &bytes) {
        if (!incoming) return;
        st::Faults f;
        f.v6Framing = true;
        if (bytes.find("ALO") != std::string::npos && alos++ == 0) {
            f.silent = true;
            f.replies = 1;
            sim.setFaults(f);
        } else if (bytes.find("WCA") != std::string::npos && alos.load() == 1 && !loseSet.exchange(true)) {
            f.loseRequest = "ALO";  // this WCA's answer is the one lost; the next ALO goes too
            sim.setFaults(f);
        }
    });
    Broker broker;
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/+/alarms");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempOutbox outbox;
    const TempFile ini(stations.profile(broker, outbox.path()));
    Gateway g({"--config", ini.path(), "serve"});
    ASSERT_TRUE(waitUntil(45000, [&] { return sim.model().find(7)->alarms.empty(); })) << g.log();
    ASSERT_TRUE(waitUntil(20000, [&] { return sub.count("/alarms") >= expected.size(); })) << g.log();
    ASSERT_TRUE(g.waitForLog("outbox: empty, ")) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    sim.setTrace({});
    EXPECT_GE(alos.load(), 5) << "an ALO was not lost";
    expectEachAlarmOnce(sub, expected);
    EXPECT_EQ(broker.received("hydrix/7/alarms"), expected.size());
}

// Outbox messages an earlier run handed to the broker may have reached it: sent again with
// "dup":true in the payload, those never sent without; an outbox made before messages were
// marked as sent is taken over with its messages counted as never sent.
TEST(GatewayMqtt, AMessageAnEarlierRunSentGoesAgainMarkedAsAPossibleCopy) {
    const TempOutbox outbox;
    const auto sql = [&](const char *statements) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(outbox.path().c_str(), &db), SQLITE_OK);
        char *error = nullptr;
        EXPECT_EQ(sqlite3_exec(db, statements, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
        sqlite3_free(error);
        sqlite3_close(db);
    };
    sql("CREATE TABLE outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL, payload TEXT NOT NULL);"
        "INSERT INTO outbox (topic, payload) VALUES ('hydrix/12/alarms', '{\"code\":1}'),"
        " ('hydrix/12/alarms', '{\"code\":2}'), ('hydrix/12/alarms', '{\"code\":3}');");
    Broker broker;
    const std::string serve =
        "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\n"
        "Items=12:picture:1:0-2 every=1s\nModbus=off\nOutbox=" +
        outbox.path() + "\nMqtt=";
    {
        const TempFile ini(serve + broker.address() + "\n");  // the broker is down: nothing is sent
        Gateway g({"--config", ini.path(), "--simulate", "serve"});
        ASSERT_TRUE(g.waitForLog("not reachable yet")) << g.log();
        g.signal(SIGTERM);
        EXPECT_EQ(g.wait(10000), 0);
    }
    sql("UPDATE outbox SET sent = 1 WHERE id = 2;");  // as a run killed right after sending it leaves it
    ASSERT_TRUE(broker.start());
    Subscriber sub(broker.port(), "hydrix/+/alarms");
    ASSERT_TRUE(waitUntil(5000, [&] { return sub.subscribed(); }));
    const TempFile ini(serve + broker.address() + "\n");
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(waitUntil(20000, [&] { return sub.count("/alarms") >= 3; })) << g.log();
    ASSERT_TRUE(g.waitForLog("outbox: empty, ")) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
    std::vector<std::string> payloads;
    for (const Received &r : sub.all()) payloads.push_back(r.payload);
    EXPECT_EQ(payloads, (std::vector<std::string>{"{\"code\":1}", "{\"code\":2,\"dup\":true}", "{\"code\":3}"}));
}

}  // namespace
}  // namespace servetest
