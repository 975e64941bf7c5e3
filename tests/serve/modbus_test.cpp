// The Modbus TCP front end against `hydrix serve` on simulated stations: values at the
// printed map's addresses equal the station model, items without a fresh value answer
// exception 0x0B, writes are refused unless allowed and reach the station when allowed,
// and a client that stalls holds up nobody else.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "serve_harness.h"
#include "station/station.h"

namespace servetest {
namespace {

namespace st = hydrix::station;

std::string modbusAt(int port) { return "127.0.0.1:" + std::to_string(port); }

// A float as two registers, high word first (libmodbus 3.1.6's modbus_set_float_abcd
// swaps the bytes of each word, so the test writes its own).
void setFloat(float v, uint16_t out[2]) {
    uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    out[0] = static_cast<uint16_t>(bits >> 16);
    out[1] = static_cast<uint16_t>(bits & 0xFFFF);
}

// The number at the end of "value 3" or "setpoint 3 (writable)".
int numberIn(const std::string &meaning) { return std::atoi(meaning.c_str() + meaning.find(' ') + 1); }

// What the station model says a map entry holds.
double modelValue(const st::Plant &plant, bool v6, const MapEntry &e) {
    const int n = numberIn(e.meaning);
    // The v6 engine carries picture values as whole numbers.
    if (e.item == "picture 1") {
        const double v = plant.pictures.at(1).values.at(static_cast<size_t>(n));
        return v6 ? std::trunc(v) : v;
    }
    if (e.item == "setpoints") return plant.setpoints.at(n).value;
    std::vector<double> flat;
    for (const auto &row : plant.reportRows) flat.insert(flat.end(), row.begin(), row.end());
    // The telegram engine's report value n is the report's value n (it has no value 0).
    return flat.at(static_cast<size_t>(n));
}

// Waits until every item of the unit reads good (quality register 0).
bool allGood(Client &c, const std::vector<MapEntry> &map, int unit) {
    return waitUntil(15000, [&] {
        for (const MapEntry &e : map) {
            if (e.unit != unit || e.meaning.rfind("quality", 0) != 0) continue;
            std::vector<uint16_t> q;
            if (!c.read(e.address, 1, &q) || q[0] != 0) return false;
        }
        return true;
    });
}

TEST(GatewayModbus, ValuesAtThePrintedAddressesEqualTheStationModel) {
    const int port = freePort();
    Gateway g({"serve", "--modbus", modbusAt(port)});
    ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
    const auto map = printedMap({});
    struct Station {
        int unit;
        bool v6;
    };
    for (const Station s : {Station{12, false}, Station{7, true}}) {
        SCOPED_TRACE("unit " + std::to_string(s.unit));
        const st::Model model = st::defaultModel();
        const st::Plant &plant = *model.find(s.unit);
        Client c(port, s.unit);
        ASSERT_TRUE(c.connected());
        ASSERT_TRUE(allGood(c, map, s.unit)) << g.log();
        int checked = 0;
        for (const MapEntry &e : map) {
            const bool value = e.meaning.rfind("value ", 0) == 0 || e.meaning.rfind("setpoint ", 0) == 0;
            if (e.unit != s.unit || !value) continue;
            std::vector<uint16_t> regs;
            ASSERT_TRUE(c.read(e.address, 2, &regs)) << e.item << " " << e.meaning;
            const float want = static_cast<float>(modelValue(plant, s.v6, e));
            const float got = modbus_get_float_abcd(regs.data());
            if (std::isnan(want))
                EXPECT_TRUE(std::isnan(got)) << e.item << " " << e.meaning << " at " << e.address;
            else
                EXPECT_FLOAT_EQ(got, want) << e.item << " " << e.meaning << " at " << e.address;
            ++checked;
        }
        // Picture 1 (v6: from value 1), the report (telegram engine: from value 1), setpoints 1-8.
        EXPECT_EQ(checked, (s.v6 ? 11 + 15 : 12 + 14) + 8);
        // The same registers read as holding registers.
        std::vector<uint16_t> input, holding(6);
        ASSERT_TRUE(c.read(0, 6, &input));
        ASSERT_EQ(modbus_read_registers(c.ctx(), 0, 6, holding.data()), 6);
        EXPECT_EQ(input, holding);
    }
}

TEST(GatewayModbus, EveryWordOrderReadsBackWithTheMatchingDecoder) {
    struct Case {
        const char *order;
        float (*decode)(const uint16_t *);
    };
    const Case cases[] = {{"ABCD", modbus_get_float_abcd},
                          {"CDAB", modbus_get_float_cdab},
                          {"BADC", modbus_get_float_badc},
                          {"DCBA", modbus_get_float_dcba}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.order);
        const int port = freePort();
        const TempFile ini(
            "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\n"
            "Items=12:picture:1:1-2 every=1h\nWordOrder=" +
            std::string(k.order) + "\nModbus=" + modbusAt(port) + "\n");
        Gateway g({"--config", ini.path(), "--simulate", "serve"});
        ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
        Client c(port, 12);
        std::vector<uint16_t> regs;
        ASSERT_TRUE(waitUntil(10000, [&] { return c.read(0, 4, &regs); })) << g.log();
        EXPECT_FLOAT_EQ(k.decode(&regs[0]), 2.5f);  // plant 12: value i is 1 + 1.5 i
        EXPECT_FLOAT_EQ(k.decode(&regs[2]), 4.0f);
    }
}

TEST(GatewayModbus, NeverReadAndStaleItemsAnswerGatewayTargetFailed) {
    const int port = freePort();
    // Picture 9 does not exist (the station answers NDA): never read. Picture 1 is read
    // once an hour and counts as stale one second after it was read.
    const TempFile ini(
        "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\n"
        "Items=12:picture:1:0-3 every=1h, 12:picture:9:0-3 every=1h\nStaleAfter=1s\n"
        "Modbus=" +
        modbusAt(port) + "\n");
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
    Client c(port, 12);
    ASSERT_TRUE(c.connected());
    // Layout: picture 1 values 0-7, status 8-17; picture 9 values 18-25, status 26-35.
    std::vector<uint16_t> regs;
    int error = 0;
    ASSERT_TRUE(waitUntil(10000, [&] { return c.read(26, 10, &regs) && regs[9] >= 1; })) << g.log();
    EXPECT_EQ(regs[0], 1) << "quality: never read";
    EXPECT_EQ((uint32_t(regs[1]) << 16) | regs[2], 0xFFFFFFFFu) << "age: never";
    EXPECT_FALSE(c.read(18, 2, &regs, &error));
    EXPECT_EQ(error, EMBXGTAR);
    EXPECT_FALSE(c.read(16, 4, &regs, &error)) << "a range that touches a never-read value";
    EXPECT_EQ(error, EMBXGTAR);

    // Picture 1: good for a second, then stale.
    bool sawGood = waitUntil(10000, [&] { return c.read(8, 1, &regs) && regs[0] == 0; });
    if (sawGood) {
        std::vector<uint16_t> values;
        // Read at once; if the second has just passed, the answer is 0x0B instead.
        if (c.read(0, 2, &values, &error))
            EXPECT_FLOAT_EQ(modbus_get_float_abcd(values.data()), 1.0f);
        else
            EXPECT_EQ(error, EMBXGTAR);
    }
    ASSERT_TRUE(waitUntil(5000, [&] { return c.read(8, 10, &regs) && regs[0] == 3; })) << "never stale";
    EXPECT_GE((uint32_t(regs[1]) << 16) | regs[2], 1u) << "age in seconds";
    EXPECT_FALSE(c.read(0, 8, &regs, &error));
    EXPECT_EQ(error, EMBXGTAR);

    // Outside the map: a unit nobody has, and addresses past the last block.
    EXPECT_FALSE(c.read(36, 1, &regs, &error));
    EXPECT_EQ(error, EMBXILADD);
    c.unit(13);
    EXPECT_FALSE(c.read(0, 1, &regs, &error));
    EXPECT_EQ(error, EMBXGPATH);
}

TEST(GatewayModbus, WritesAreRefusedUnlessAllowedForTheClientAndReachTheStationWhenAllowed) {
    {  // The built-in gateway: writes are off.
        const int port = freePort();
        Gateway g({"serve", "--modbus", modbusAt(port)});
        ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
        Client c(port, 12);
        uint16_t value[2];
        setFloat(4.5f, value);
        const auto map = printedMap({});
        int at = -1;
        for (const MapEntry &e : map)
            if (e.unit == 12 && e.meaning.rfind("setpoint 2 ", 0) == 0) at = e.address;
        ASSERT_GE(at, 0);
        EXPECT_EQ(modbus_write_registers(c.ctx(), at, 2, value), -1);
        EXPECT_EQ(errno, EMBXILFUN);
        EXPECT_EQ(modbus_write_bit(c.ctx(), 0, 1), -1);
        EXPECT_EQ(errno, EMBXILFUN);
        EXPECT_TRUE(g.waitForLog("refused (AllowWrites is off)")) << g.log();
    }
    const int port = freePort();
    const std::string head =
        "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n"
        "[Chan1]\nHYDRIXDefault=0\nDeviceName=SIM1\nNodes=7\n[Serve]\n"
        "Items=12:setpoints:1-11 every=1h, 12:picture:1:0-1 every=1h, 7:setpoints:1-3 every=1h\n"
        "AllowWrites=1\nModbus=" +
        modbusAt(port) + "\n";
    const TempFile ini(head + "WriteClients=10.0.0.9\n");
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
    Client c12(port, 12), c7(port, 7);
    uint16_t value[2];
    setFloat(4.5f, value);
    // Unit 12: setpoints 1-11 at 0-21 (status 22-31), picture 1 at 32-35.
    EXPECT_EQ(modbus_write_registers(c12.ctx(), 2, 2, value), -1);
    EXPECT_EQ(errno, EMBXILFUN);
    ASSERT_TRUE(g.waitForLog("refused (not in WriteClients)")) << g.log();

    // The address list reread: this client may write now.
    ini.write(head + "WriteClients=10.0.0.9, 127.0.0.1\n");
    g.signal(SIGHUP);
    ASSERT_TRUE(g.waitForLog("item list reread")) << g.log();
    ASSERT_EQ(modbus_write_registers(c12.ctx(), 2, 2, value), 2) << modbus_strerror(errno) << "\n" << g.log();
    std::vector<uint16_t> regs;
    EXPECT_TRUE(waitUntil(10000, [&] { return c12.read(2, 2, &regs) && modbus_get_float_abcd(regs.data()) == 4.5f; }))
        << "setpoint 2 was not read back as 4.5\n"
        << g.log();
    setFloat(21.0f, value);  // the v6 engine, setpoint 1 of station 7
    ASSERT_EQ(modbus_write_registers(c7.ctx(), 0, 2, value), 2) << modbus_strerror(errno) << "\n" << g.log();
    EXPECT_TRUE(waitUntil(10000, [&] { return c7.read(0, 2, &regs) && modbus_get_float_abcd(regs.data()) == 21.0f; }))
        << g.log();
    // A coil starts and stops machine 2.
    EXPECT_EQ(modbus_write_bit(c12.ctx(), 1, 1), 1) << modbus_strerror(errno);
    EXPECT_EQ(modbus_write_bit(c12.ctx(), 1, 0), 1) << modbus_strerror(errno);
    EXPECT_TRUE(g.waitForLog("command start (M) machine 2: done")) << g.log();
    EXPECT_TRUE(g.waitForLog("command stop (F) machine 2: done")) << g.log();

    // What cannot be written: a setpoint the station lacks (it answers and refuses: 0x04,
    // not 0x0B, which says the station did not answer), a picture value, half a setpoint,
    // a number that is none.
    setFloat(1.0f, value);
    EXPECT_EQ(modbus_write_registers(c12.ctx(), 20, 2, value), -1) << "setpoint 11";
    EXPECT_EQ(errno, EMBXSFAIL);
    EXPECT_EQ(modbus_write_registers(c12.ctx(), 32, 2, value), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(modbus_write_register(c12.ctx(), 2, 1), -1);
    EXPECT_EQ(errno, EMBXILVAL);
    setFloat(std::nanf(""), value);
    EXPECT_EQ(modbus_write_registers(c12.ctx(), 2, 2, value), -1);
    EXPECT_EQ(errno, EMBXILVAL);
}

TEST(GatewayModbus, AClientThatStallsMidRequestHoldsUpNoOtherClient) {
    const int port = freePort();
    Gateway g({"serve", "--modbus", modbusAt(port)});
    ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
    // Half a request header, then silence.
    const int stalled = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(stalled, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    const uint8_t half[] = {0x00, 0x01, 0x00};
    ASSERT_EQ(send(stalled, half, sizeof half, 0), 3);
    // Eight clients read the same registers at once, over and over.
    std::vector<std::thread> readers;
    std::atomic<int> good{0}, bad{0};
    Client probe(port, 12);
    std::vector<uint16_t> regs;
    ASSERT_TRUE(waitUntil(10000, [&] { return probe.read(0, 24, &regs); })) << g.log();
    for (int i = 0; i < 8; ++i)
        readers.emplace_back([&, port] {
            Client c(port, 12);
            std::vector<uint16_t> mine;
            for (int k = 0; k < 50; ++k) (c.read(0, 24, &mine) ? good : bad)++;
        });
    for (std::thread &t : readers) t.join();
    close(stalled);
    EXPECT_EQ(good.load(), 400);
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace servetest
