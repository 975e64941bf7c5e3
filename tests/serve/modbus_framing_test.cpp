// The Modbus TCP server keeps its framing: every request is read by its MBAP length, so an
// unknown function is answered 0x01 and the next request still gets its own answer; a
// header no client sends closes the connection; silent clients are dropped after the
// idle time, and at the connection limit the client idle longest makes room.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "serve_harness.h"

namespace servetest {
namespace {

using Bytes = std::vector<uint8_t>;

// A raw TCP connection to the gateway's Modbus port.
class Raw {
public:
    explicit Raw(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }
    ~Raw() { close(fd_); }
    bool connected() const { return connected_; }
    bool send(const Bytes &b) {
        return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // One whole reply (by its MBAP length); empty when the server closed or said nothing
    // within timeoutMs.
    Bytes reply(int timeoutMs = 3000) {
        Bytes got;
        size_t want = 7;
        while (got.size() < want) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return {};
            uint8_t b[300];
            const ssize_t n = recv(fd_, b, want - got.size(), 0);
            if (n <= 0) return {};
            got.insert(got.end(), b, b + n);
            if (got.size() >= 6) want = 6 + ((got[4] << 8) | got[5]);
        }
        return got;
    }
    // The server closed the connection within timeoutMs.
    bool closedByServer(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        uint8_t b[300];
        return recv(fd_, b, sizeof b, 0) <= 0;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

// An MBAP frame: transaction, protocol, the length field (as given, or the true one), unit, PDU.
Bytes frame(uint16_t transaction, const Bytes &pdu, int length = -1, uint16_t protocol = 0, uint8_t unit = 12) {
    const uint16_t len = length < 0 ? static_cast<uint16_t>(pdu.size() + 1) : static_cast<uint16_t>(length);
    // Sized once and filled in place (g++ 12 at -O3 takes an insert behind a 7-byte
    // initialiser list for a write out of bounds).
    Bytes b(7 + pdu.size());
    const uint8_t head[7] = {static_cast<uint8_t>(transaction >> 8),
                             static_cast<uint8_t>(transaction),
                             static_cast<uint8_t>(protocol >> 8),
                             static_cast<uint8_t>(protocol),
                             static_cast<uint8_t>(len >> 8),
                             static_cast<uint8_t>(len),
                             unit};
    std::copy(std::begin(head), std::end(head), b.begin());
    std::copy(pdu.begin(), pdu.end(), b.begin() + 7);
    return b;
}

const Bytes kReadStatus{0x04, 0x00, 0x06, 0x00, 0x01};  // input register 6: picture 1's quality

uint16_t transactionOf(const Bytes &r) { return r.size() >= 2 ? static_cast<uint16_t>((r[0] << 8) | r[1]) : 0xFFFF; }

std::string profile(int port, const std::string &extra) {
    return "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\nItems=12:picture:1:0-2 every=1s\n"
           "Modbus=127.0.0.1:" +
           std::to_string(port) + "\n" + extra;
}

TEST(GatewayModbusFraming, EachRequestIsReadByItsLengthAndAnUnknownFunctionKeepsTheStreamInStep) {
    const int port = freePort();
    const TempFile ini(profile(port, ""));
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
    Raw c(port);
    ASSERT_TRUE(c.connected());
    // Unknown functions with data after them, each followed at once by a valid read.
    uint16_t t = 1;
    for (const Bytes &odd : {Bytes{0x41, 1, 2, 3, 4, 5, 6}, Bytes{0x08, 0x00, 0x00, 0xA5, 0x37}, Bytes{0x11},
                             Bytes{0x2B, 0x0D, 0x01, 0x00}}) {
        SCOPED_TRACE(int(odd[0]));
        Bytes both = frame(t, odd);
        const Bytes read = frame(static_cast<uint16_t>(t + 1), kReadStatus);
        both.insert(both.end(), read.begin(), read.end());
        ASSERT_TRUE(c.send(both));
        const Bytes r1 = c.reply(), r2 = c.reply();
        ASSERT_EQ(r1.size(), 9u);
        EXPECT_EQ(transactionOf(r1), t);
        EXPECT_EQ(r1[7], odd[0] | 0x80);
        EXPECT_EQ(r1[8], 0x01) << "an unsupported function is answered 'illegal function'";
        ASSERT_EQ(r2.size(), 11u) << "the read after it got no answer of its own";
        EXPECT_EQ(transactionOf(r2), t + 1);
        EXPECT_EQ(r2[7], 0x04);
        t = static_cast<uint16_t>(t + 2);
    }
    // Lengths that do not fit the function: the PDU is refused as a whole, in step.
    ASSERT_TRUE(c.send(frame(50, {0x04}, 2)));
    Bytes r = c.reply();
    ASSERT_EQ(r.size(), 9u);
    EXPECT_EQ(r[8], 0x03);
    Bytes padded = kReadStatus;
    padded.resize(199, 0);
    ASSERT_TRUE(c.send(frame(51, padded, 200)));
    r = c.reply();
    ASSERT_EQ(r.size(), 9u);
    EXPECT_EQ(transactionOf(r), 51);
    EXPECT_EQ(r[8], 0x03);

    // Coils read back as written (none yet); discrete inputs mirror them.
    for (uint8_t fc : {0x01, 0x02}) {
        ASSERT_TRUE(c.send(frame(60, {fc, 0x00, 0x00, 0x00, 0x0A})));
        r = c.reply();
        ASSERT_EQ(r.size(), 11u);
        EXPECT_EQ(r[7], fc);
        EXPECT_EQ(r[8], 2);
        EXPECT_EQ(r[9] | r[10], 0);
    }
    ASSERT_TRUE(c.send(frame(61, {0x01, 0x00, 0xFE, 0x00, 0x02})));
    EXPECT_EQ(c.reply().at(8), 0x02) << "coil 255 is no machine's";

    // Device identification, basic objects: vendor, product, version.
    ASSERT_TRUE(c.send(frame(70, {0x2B, 0x0E, 0x01, 0x00})));
    r = c.reply();
    ASSERT_GT(r.size(), 14u);
    EXPECT_EQ(r[7], 0x2B);
    EXPECT_EQ(r[8], 0x0E);
    ASSERT_EQ(r[13], 3) << "three objects";
    std::vector<std::string> objects;
    for (size_t at = 14, i = 0; i < 3 && at + 2 <= r.size(); ++i) {
        EXPECT_EQ(r[at], i);
        objects.emplace_back(r.begin() + static_cast<long>(at + 2), r.begin() + static_cast<long>(at + 2 + r[at + 1]));
        at += 2 + r[at + 1];
    }
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0], "HYDRIX");
    EXPECT_EQ(objects[1], "hydrix serve");
    EXPECT_FALSE(objects[2].empty());
    ASSERT_TRUE(c.send(frame(71, {0x2B, 0x0E, 0x04, 0x09})));
    EXPECT_EQ(c.reply().at(8), 0x02) << "object 9 does not exist";
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
}

TEST(GatewayModbusFraming, AHeaderNoClientSendsClosesTheConnection) {
    const int port = freePort();
    const TempFile ini(profile(port, ""));
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
    for (const Bytes &bad : {frame(1, kReadStatus, -1, 0x1234), frame(2, kReadStatus, 0), frame(3, kReadStatus, 1),
                             frame(4, kReadStatus, 300)}) {
        Raw c(port);
        ASSERT_TRUE(c.connected());
        ASSERT_TRUE(c.send(bad));
        EXPECT_TRUE(c.closedByServer(3000)) << "answered instead of closed";
    }
    EXPECT_NE(g.log().find("protocol id 4660 is not Modbus"), std::string::npos) << g.log();
    EXPECT_NE(g.log().find("MBAP length 0 is no request's"), std::string::npos) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
}

TEST(GatewayModbusFraming, SilentClientsAreDroppedAndAtTheLimitTheLongestIdleMakesRoom) {
    const int port = freePort();
    const TempFile ini(profile(port, "ModbusIdleTimeout=1s\nModbusMaxClients=3\n"));
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(g.waitForLog("modbus: listening")) << g.log();
    {
        Raw silent(port);
        ASSERT_TRUE(silent.connected());
        EXPECT_TRUE(silent.closedByServer(4000)) << g.log();
        EXPECT_NE(g.log().find("silent for 1 s (ModbusIdleTimeout)"), std::string::npos) << g.log();
    }
    // The limit: a, b and c connected; a and c keep talking; d comes and b must go.
    ini.write(profile(port, "ModbusIdleTimeout=off\nModbusMaxClients=3\n"));
    g.signal(SIGHUP);
    ASSERT_TRUE(g.waitForLog("item list reread")) << g.log();
    Raw a(port), b(port), c(port);
    const auto talks = [&](Raw &r, uint16_t t) {
        r.send(frame(t, kReadStatus));
        return transactionOf(r.reply()) == t;
    };
    ASSERT_TRUE(talks(a, 1) && talks(b, 2) && talks(c, 3));
    ASSERT_TRUE(talks(a, 4) && talks(c, 5));
    Raw d(port);
    EXPECT_TRUE(talks(d, 6)) << g.log();
    EXPECT_TRUE(b.closedByServer(3000)) << g.log();
    EXPECT_TRUE(talks(a, 7) && talks(c, 8));
    EXPECT_NE(g.log().find("3 clients connected (ModbusMaxClients)"), std::string::npos) << g.log();
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
}

}  // namespace
}  // namespace servetest
