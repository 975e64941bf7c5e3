// drvAddChan and drvInitComm: what the profile puts into the two channel records, and how
// the port is set up.
#include <cstring>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "common/driver_fixture.h"
#include "common/pty_port.h"
#include "driver/node_list.h"
#include "platform/ticks.h"
#include "station/pty.h"

namespace {

std::string numbers(int count) {
    std::string text;
    for (int i = 1; i <= count; ++i) text += std::to_string(i % 10) + " ";
    return text;
}

// Node and plant numbers of a telegram channel's table, by turns.
std::vector<uint32_t> nodes(const TelegramChannel &ch) {
    std::vector<uint32_t> out;
    for (int i = 0; i < ch.nodeCount; ++i) out.insert(out.end(), {ch.nodeTable[i].node, ch.nodeTable[i].plant});
    return out;
}

// "node route" for each entry of a v6 channel's table.
std::vector<std::string> routes(const V6Channel &ch) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < ch.nodeCount; ++i)
        out.push_back(std::to_string(ch.nodeTable[i].node) + " " + ch.nodeTable[i].route);
    return out;
}

std::vector<uint32_t> timeouts(const CommSettings &s) {
    const CommTimeouts &t = s.timeouts;
    return {t.readIntervalTimeout, t.readTotalTimeoutMultiplier, t.readTotalTimeoutConstant,
            t.writeTotalTimeoutMultiplier, t.writeTotalTimeoutConstant};
}

}  // namespace

TEST(NodeList, SeparatorsRunsAndLimits) {
    EXPECT_EQ(parseNodeList("3, 7;12", 256), (std::vector<uint32_t>{3, 7, 12}));
    EXPECT_EQ(parseNodeList("3 x7 12", 256), (std::vector<uint32_t>{3, 0, 12}));
    EXPECT_EQ(parseNodeList("12ab-ab12", 256), (std::vector<uint32_t>{12, 0}));
    EXPECT_EQ(parseNodeList("", 256), std::vector<uint32_t>{});
    EXPECT_EQ(parseNodeList(" ,;- ", 256), std::vector<uint32_t>{});
    EXPECT_EQ(parseNodeList("1 2 3 4", 2), (std::vector<uint32_t>{1, 2}));
    // Accented letters are letters in the 8-bit character set; a minus sign separates.
    EXPECT_EQ(parseNodeList("5\xE9"
                            "6 -7",
                            256),
              (std::vector<uint32_t>{5, 7}));
    EXPECT_EQ(parseNodeList("99999999999999", 256), (std::vector<uint32_t>{2147483647u}));
}

TEST_F(DriverTest, TelegramChannelFromProfile) {
    useProfile(R"(
[Chan2]
HYDRIXDefault=2
Retries=5
Baudrate=19200
8250LineSetting=7
DirectConn=5
Nodes=3, 7;12
[Chan2\Node7]
PlantNumber=70
[Chan2\Node12]
PlantNumber=120
)");
    drvInstall("Driver");
    telegramChannels[2].pendErrGroup = 99;  // re-adding starts from a clean record
    ASSERT_EQ(drvAddChan(2, "Chan2"), 1);
    const TelegramChannel &ch = telegramChannels[2];
    EXPECT_EQ(std::make_tuple(ch.engine.load(), ch.channelNo, ch.commHandle, ch.pendErrGroup, channelInUse[2].load()),
              std::make_tuple(2u, 2u, COMM_HANDLE_INVALID, 0u, 1u));
    EXPECT_EQ(std::make_tuple(ch.retries, ch.baudRate, ch.lineSetting, ch.directConn),
              std::make_tuple(5, 19200u, 7u, 1u));
    ASSERT_EQ(ch.nodeCount, 3);
    // No PlantNumber key: plant 1.
    EXPECT_EQ(nodes(ch), (std::vector<uint32_t>{3, 1, 7, 70, 12, 120}));

    ASSERT_EQ(drvAddChan(2, "Chan2"), 1);  // again: same record, still in use
    EXPECT_EQ(telegramChannels[2].nodeCount, 3);
    EXPECT_EQ(channelInUse[2].load(), 1u);
}

TEST_F(DriverTest, DefaultsAndBadChannelNumbers) {
    useProfile("[Chan0]\n[Chan1]\nDirectConn=0\n");
    drvInstall("Driver");
    EXPECT_EQ(drvAddChan(8, "Chan0"), 0);
    EXPECT_EQ(drvAddChan(-1, "Chan0"), 0);
    ASSERT_EQ(drvAddChan(0, "Chan0"), 1);
    const TelegramChannel &ch = telegramChannels[0];
    EXPECT_EQ(std::make_tuple(ch.engine.load(), ch.retries, ch.baudRate, ch.lineSetting, ch.directConn, ch.nodeCount),
              std::make_tuple(1u, 3, 9600u, 3u, 1u, 0));
    ASSERT_EQ(drvAddChan(1, "Chan1"), 1);
    EXPECT_EQ(telegramChannels[1].directConn, 0u);
}

TEST_F(DriverTest, LongNodeListsKeep256) {
    useProfile("[Chan0]\nNodes=" + numbers(300) + "\n[Chan1]\nHYDRIXDefault=0\nDeviceName=COM2\nNodes=" + numbers(300) +
               "\n");
    drvInstall("Driver");
    ASSERT_EQ(drvAddChan(0, "Chan0"), 1);
    EXPECT_EQ(telegramChannels[0].nodeCount, 256);  // 600 characters fit the 1000-byte room
    EXPECT_EQ(telegramChannels[0].nodeTable[255].node, 6u);
    ASSERT_EQ(drvAddChan(1, "Chan1"), 1);
    // A v6 channel reads the list with room for 200 bytes: 199 characters, 100 numbers.
    EXPECT_EQ(v6Channels[1].nodeCount, 100u);

    std::string longList = "[Chan2]\nHYDRIXDefault=0\nDeviceName=COM3\nNodes=";
    for (int i = 0; i < 300; ++i) longList += "7";  // no separators: one run
    useProfile(longList + "\n");
    ASSERT_EQ(drvAddChan(2, "Chan2"), 1);
    EXPECT_EQ(v6Channels[2].nodeCount, 1u);
}

TEST_F(DriverTest, V6ChannelFromProfile) {
    useProfile(R"(
[Chan3]
HYDRIXDefault=0
DeviceName=/dev/ttyUSB0-with-a-long-name
Retries=2
Baudrate=4800
MCCTimeout=1500
DirectConn=0
Nodes=4 250 1234
[Chan3\Node4]
Route=A1
[Chan3\Node250]
Route=ABCDEFG
[Chan3\Dialup]
PostEventDb=3
PostEventOffset=10
PostEventValue=7
id node=9
)");
    drvInstall("Driver");
    v6Channels[3].wgdRow = 17;  // not configuration's: kept
    ASSERT_EQ(drvAddChan(3, "Chan3"), 1);
    const V6Channel &ch = v6Channels[3];
    EXPECT_EQ(telegramChannels[3].engine.load(), 0u);
    EXPECT_STREQ(ch.deviceName, "/dev/ttyUSB0-with-a");  // 19 characters and a terminator
    EXPECT_EQ(std::make_tuple(ch.maxRetries, ch.baudRate, ch.mccTimeout, ch.directConn, ch.idNode),
              std::make_tuple(2, 4800u, 1500u, 0u, 9u));
    EXPECT_EQ(std::make_tuple(ch.postEventEnabled, ch.postEventKind, ch.postEventIndex, ch.postEventValue),
              std::make_tuple(1u, 3u, 10u, 7u));
    EXPECT_EQ(std::make_tuple(ch.replyStation.load(), ch.commHandle, ch.wgdRow),
              std::make_tuple(-1, COMM_HANDLE_INVALID, 17u));
    ASSERT_EQ(ch.nodeCount, 3u);
    // A longer route is cut at three characters; no Route key, no route.
    EXPECT_EQ(routes(ch), (std::vector<std::string>{"4 A1", "250 ABC", "1234 "}));
    EXPECT_EQ(ch.nodeTable[0].word, 0u);

    // With a direct connection the route is the node number (three characters at most).
    useProfile("[Chan3]\nHYDRIXDefault=0\nDeviceName=COM1\nNodes=4 250 1234\n");
    ASSERT_EQ(drvAddChan(3, "Chan3"), 1);
    EXPECT_EQ(routes(ch), (std::vector<std::string>{"4 4", "250 250", "1234 123"}));
    EXPECT_EQ(std::make_tuple(ch.postEventEnabled, ch.maxRetries, ch.mccTimeout), std::make_tuple(0u, 3, 1000u));
}

TEST_F(DriverTest, PostEventWriteNeedsAllThreeValues) {
    struct Case {
        const char *dialup;
        uint32_t enabled;
    };
    const Case cases[] = {
        {"PostEventDb=3\nPostEventOffset=10\nPostEventValue=131071\n", 0},  // low 16 bits 65535
        {"PostEventDb=3\nPostEventOffset=10\nPostEventValue=131072\n", 1},  // low 16 bits 0
        {"PostEventDb=65535\nPostEventOffset=10\nPostEventValue=1\n", 0},
        {"PostEventDb=3\nPostEventValue=1\n", 0},
    };
    for (const Case &c : cases) {
        useProfile(std::string("[C]\nHYDRIXDefault=0\nDeviceName=COM1\n[C\\Dialup]\n") + c.dialup);
        drvInstall("Driver");
        ASSERT_EQ(drvAddChan(0, "C"), 1);
        EXPECT_EQ(v6Channels[0].postEventEnabled, c.enabled) << c.dialup;
        if (c.enabled) {
            EXPECT_EQ(v6Channels[0].postEventValue, 0u);
        }
    }
}

TEST_F(DriverTest, V6ChannelWithoutDeviceNameIsRefused) {
    useProfile("[C]\nHYDRIXDefault=0\nNodes=1\n");
    drvInstall("Driver");
    EXPECT_EQ(drvAddChan(4, "C"), 0);
    EXPECT_EQ(channelInUse[4].load(), 0u);
    auto events = hydrix::rt::loggedEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].eventId, EVT_V6_NO_DEVICE_NAME);
    EXPECT_EQ(events[0].source, "HYDRIX");
    EXPECT_EQ(events[0].text, "4");
}

TEST_F(DriverTest, InitCommSetsEachEnginesTimeoutsAndPurges) {
    useProfile("[T]\nNodes=1\n[V]\nHYDRIXDefault=0\nDeviceName=pty\n");
    drvInstall("Driver");
    PtyPort telegramPort(0, totalReadTimeout(0)), v6Port(1, intervalReadTimeout(0));
    const CommHandle h0 = getCommHandle(0);
    const CommHandle h1 = getCommHandle(1);

    EXPECT_EQ(drvInitComm(0, h0), 0);  // not added yet
    ASSERT_EQ(drvAddChan(0, "T"), 1);
    ASSERT_EQ(drvAddChan(1, "V"), 1);
    EXPECT_EQ(drvInitComm(9, h0), 0);

    telegramPort.write("stale");  // purged by drvInitComm
    plat::sleepMs(20);
    ASSERT_EQ(drvInitComm(0, h0), 1);
    CommSettings s{};
    ASSERT_TRUE(getDefaultCommSettings(0, h0, &s));
    EXPECT_EQ(timeouts(s), (std::vector<uint32_t>{500, 200, 2000, 500, 200}));
    EXPECT_NE(s.line.dtrControl, DTR_CONTROL_HANDSHAKE);
    uint32_t group = 0, code = 0;
    char byte = 0;
    CommOverlapped ov{};
    CommSettings quick = s;
    quick.timeouts = CommTimeouts{50, 0, 0, 0, 0};
    ASSERT_EQ(configComm(0, h0, &quick), 0);
    EXPECT_EQ(readComm(h0, &ov, 0, &byte, 1, &group, &code), 0);  // the stale bytes are gone

    ASSERT_EQ(drvInitComm(1, h1), 1);
    ASSERT_TRUE(getDefaultCommSettings(1, h1, &s));
    EXPECT_EQ(s.line.dtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(timeouts(s), (std::vector<uint32_t>{2000, 0, 0, 100, 200}));
    EXPECT_TRUE(traced("HYDRIX[1] drvInitComm"));
    EXPECT_TRUE(traced("HYDRIX[1] configComm done"));
}
