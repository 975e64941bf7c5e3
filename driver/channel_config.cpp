// drvAddChan and drvInitComm: a channel's settings and node list from the profile, and
// the set-up of the port the host opened for it.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "driver/node_list.h"
#include "driver/state.h"
#include "platform/comm_status.h"
#include "platform/systime.h"

namespace {

constexpr int TG_NODES_TEXT = 1000;  // room for the "Nodes" text, terminator included
constexpr int V6_NODES_TEXT = 200;
constexpr int V6_ROUTE_TEXT = 100;
constexpr int32_t POST_EVENT_OFF = 65535;

std::string nodeSection(const char *section, uint32_t node) {
    return std::string(section) + "\\Node" + std::to_string(node);
}

std::string dialupSection(const char *section) { return std::string(section) + "\\Dialup"; }

int32_t profileInt(const std::string &section, const char *key, int32_t def) {
    return myGetPrivateProfileInt(section.c_str(), key, def, 0);
}

std::vector<uint32_t> readNodes(const char *section, int room) {
    std::vector<char> text(static_cast<size_t>(room) + 1, '\0');
    myGetPrivateProfileString(section, "Nodes", "", text.data(), static_cast<uint32_t>(room), 0);
    return parseNodeList(text.data(), HYDRIX_MAX_NODES);
}

int32_t addTelegramChannel(uint32_t c, const char *section, int32_t engine) {
    TelegramChannel &ch = telegramChannels[c];
    // Back to all zeros: the record holds atomics, so it is rebuilt rather than memset.
    ch.~TelegramChannel();
    new (&ch) TelegramChannel{};
    ch.channelNo = c;
    ch.commHandle = COMM_HANDLE_INVALID;
    ch.engine.store(static_cast<uint32_t>(engine));
    ch.retries = myGetPrivateProfileInt(section, "Retries", 3, 0);
    ch.baudRate = static_cast<uint32_t>(myGetPrivateProfileInt(section, "Baudrate", 9600, 0));
    ch.lineSetting = static_cast<uint32_t>(myGetPrivateProfileInt(section, "8250LineSetting", 3, 0));
    ch.directConn = myGetPrivateProfileInt(section, "DirectConn", 1, 0) != 0 ? 1 : 0;

    int kept = 0;
    for (uint32_t node : readNodes(section, TG_NODES_TEXT)) {
        const uint32_t plant = static_cast<uint32_t>(profileInt(nodeSection(section, node), "PlantNumber", 1));
        ch.nodeTable[kept++] = TelegramNode{plant, node};
    }
    ch.nodeCount = kept;
    channelInUse[c].store(1);
    return 1;
}

int32_t addV6Channel(uint32_t c, const char *section) {
    V6Channel &ch = v6Channels[c];
    // Only the fields configuration owns are set; the thread handle, locks, buffers and
    // the state of the exchange in progress keep what they had.
    ch.channelNo = c;
    ch.commHandle = COMM_HANDLE_INVALID;
    ch.txThread = nullptr;
    ch.rxThread = nullptr;
    ch.stopChannelThread.store(0);
    ch.stopTx.store(0);
    ch.stopRx.store(0);
    ch.lowLevelRunning.store(0);
    ch.pauseIo.store(0);
    ch.rxPaused.store(0);
    ch.txPaused.store(0);
    ch.freeQueue = ch.rxQueue = ch.txQueue = ch.txDoneQueue = nullptr;
    ch.state.store(0);
    ch.curMsg.store(nullptr);
    ch.hangupWrite.store(nullptr);
    ch.retryCount = 0;
    ch.postEventEnabled = 0;
    ch.replyStation.store(-1);
    telegramChannels[c].engine.store(0);

    char device[V6_DEVICE_NAME_SIZE] = {};
    myGetPrivateProfileString(section, "DeviceName", "", device, sizeof device, 0);
    if (device[0] == '\0') {
        logEvent(-1, EVT_V6_NO_DEVICE_NAME, 0, HYDRIX_SOURCE, __LINE__, 0, 0, "%d", static_cast<int>(c));
        return 0;
    }
    std::memcpy(ch.deviceName, device, sizeof ch.deviceName);
    ch.deviceName[V6_DEVICE_NAME_SIZE - 1] = '\0';
    ch.maxRetries = myGetPrivateProfileInt(section, "Retries", 3, 0);
    ch.baudRate = static_cast<uint32_t>(myGetPrivateProfileInt(section, "Baudrate", 9600, 0));
    ch.mccTimeout = static_cast<uint32_t>(myGetPrivateProfileInt(section, "MCCTimeout", 1000, 0));

    const std::string dialup = dialupSection(section);
    const int32_t db = profileInt(dialup, "PostEventDb", POST_EVENT_OFF);
    const int32_t offset = profileInt(dialup, "PostEventOffset", POST_EVENT_OFF);
    const uint16_t value = static_cast<uint16_t>(profileInt(dialup, "PostEventValue", POST_EVENT_OFF));
    if (db != POST_EVENT_OFF && offset != POST_EVENT_OFF && value != POST_EVENT_OFF) {
        ch.postEventEnabled = 1;
        ch.postEventKind = static_cast<uint32_t>(db);
        ch.postEventIndex = static_cast<uint32_t>(offset);
        ch.postEventValue = value;
    }

    ch.directConn = myGetPrivateProfileInt(section, "DirectConn", 1, 0) != 0 ? 1 : 0;
    ch.idNode = static_cast<uint32_t>(profileInt(dialup, "id node", 0));

    uint32_t kept = 0;
    for (uint32_t node : readNodes(section, V6_NODES_TEXT)) {
        V6Node &entry = ch.nodeTable[kept++];
        entry = V6Node{};
        entry.node = node;
        if (ch.directConn) {
            std::snprintf(entry.route, sizeof entry.route, "%d", static_cast<int>(node));
        } else {
            // "Route" is read whole, but an entry keeps three characters of it: a longer
            // route is cut there rather than run past the entry.
            char route[V6_ROUTE_TEXT] = {};
            myGetPrivateProfileString(nodeSection(section, node).c_str(), "Route", "", route, sizeof route, 0);
            std::snprintf(entry.route, sizeof entry.route, "%.3s", route);
        }
    }
    ch.nodeCount = kept;
    channelInUse[c].store(1);
    return 1;
}

}  // namespace

extern "C" {

HYDRIX_EXPORT int32_t drvAddChan(int32_t channel, const char *section) {
    if (section == nullptr) section = "";
    const int32_t engine = myGetPrivateProfileInt(section, "HYDRIXDefault", 1, 0);
    if (channel < 0 || channel >= HYDRIX_CHANNELS) return 0;
    const auto c = static_cast<uint32_t>(channel);
    return engine != 0 ? addTelegramChannel(c, section, engine) : addV6Channel(c, section);
}

HYDRIX_EXPORT int32_t drvInitComm(uint32_t channel, CommHandle handle) {
    if (channel >= HYDRIX_CHANNELS) return 0;
    const bool v6 = telegramChannels[channel].engine.load() == 0;
    if (v6) textOutputParm("HYDRIX[%d] drvInitComm", static_cast<int>(channel));
    if (!channelInUse[channel].load()) return 0;

    CommSettings settings{};
    if (!getDefaultCommSettings(static_cast<int32_t>(channel), handle, &settings)) return 0;
    if (v6) {
        plat::setDtrControl(&settings, DTR_CONTROL_HANDSHAKE);
        settings.timeouts = CommTimeouts{2000, 0, 0, 100, 200};
    } else {
        settings.timeouts = CommTimeouts{500, 200, 2000, 500, 200};
    }
    if (configComm(static_cast<int32_t>(channel), handle, &settings) != 0) return 0;
    if (v6) textOutputParm("HYDRIX[%d] configComm done", static_cast<int>(channel));

    const uint32_t purge =
        plat::COMM_PURGE_TXABORT | plat::COMM_PURGE_RXABORT | plat::COMM_PURGE_TXCLEAR | plat::COMM_PURGE_RXCLEAR;
    if (!plat::purgeComm(handle, purge)) {
        const uint32_t recordNo = v6 ? v6Channels[channel].channelNo : telegramChannels[channel].channelNo;
        logEvent(-1, EVT_PURGE_FAILED, plat::getLastError(), HYDRIX_SOURCE, __LINE__, 0, 0, "%s %d %s", HYDRIX_SOURCE,
                 static_cast<int>(recordNo), "");
        return 0;
    }
    return 1;
}

}  // extern "C"
