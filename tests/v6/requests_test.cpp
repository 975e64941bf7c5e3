// Request telegrams: the dispatcher's choice and the exact bytes of each telegram.
#include "v6_fixture.h"

using namespace v6;

namespace {

class RequestTest : public V6Test {
protected:
    void SetUp() override {
        V6Test::SetUp();
        ch_->nodeTable[0] = V6Node{12, 0, "A1"};
        ch_->nodeCount = 1;
        buf = takeBuf(ch_.get(), &ch_->freeQueue);
    }
    void TearDown() override {
        insBuf(ch_.get(), &ch_->freeQueue, buf);
        V6Test::TearDown();
    }
    // The telegram for a request whose value area starts with `value`; "-" when not served.
    template <typename T = uint16_t>
    std::string format(uint32_t node, uint32_t address, uint32_t direction, uint32_t index = 0, T value = 0) {
        std::memcpy(request(node, address, direction, index)->data, &value, sizeof value);
        return SendRequest(ch_.get(), buf) == 1 ? std::string(buf->data, static_cast<size_t>(buf->length)) : "-";
    }
    // A setpoint write: what follows the six time fields up to the "#".
    template <typename T>
    std::string mccValue(uint32_t code, uint32_t index, T value) {
        const std::string t = format(12, code, DIR_WRITE, index, value);
        const std::string head = "\x01 12 MCC A1 ";
        if (t.rfind(head, 0) != 0 || t.size() < head.size() + 18) return "bad: " + t;
        return t.substr(head.size() + 18, t.find(" #") - head.size() - 18);
    }
    V6Buffer *buf = nullptr;
};

}  // namespace

TEST_F(RequestTest, TelegramsAreExact) {
    EXPECT_EQ(format(12, V6_OK, DIR_WRITE), "\x01 OK # 218 \r");
    EXPECT_EQ(ch_->step.load(), STEP_OK_SENT);
    EXPECT_EQ(format(12, V6_ADDRESS(V6_WGS_PICTURE, 5), DIR_READ, 6), "\x01 12 WGS P 3 ! 5 # 781 \r");
    EXPECT_EQ(ch_->step.load(), STEP_WGS_SENT);
    EXPECT_EQ(format(12, V6_MACHINE, DIR_WRITE, 600, 4), "\x01 12 WGS P 44 N 0 # 874 \r");
    EXPECT_EQ(format(12, V6_MACHINE, DIR_WRITE, 0, 3), "\x01 12 WGS P 0 ! 0 # 773 \r");
    EXPECT_EQ(format(12, V6_ALO_ACK, DIR_WRITE), "\x01 0 ALO # 364 \r");
    EXPECT_EQ(ch_->step.load(), STEP_ALO_SENT);
    EXPECT_EQ(format(12, V6_BRK, DIR_WRITE), "\x01 12 BRK # 418 \r");
    EXPECT_EQ(ch_->step.load(), STEP_ALO_SENT);  // BRK leaves the step as it was
    EXPECT_EQ(format(12, V6_MCC_READ, DIR_READ), "\x01 12 MCC 0 1 # 567 \r");
    EXPECT_EQ(ch_->step.load(), STEP_MCC_SENT);
    const uint16_t words[5] = {1, 100, 10, 5, 2};
    std::memcpy(request(12, V6_MAS_WRITE, DIR_WRITE, 8)->data, words, sizeof words);
    ASSERT_EQ(SendRequest(ch_.get(), buf), 1);
    EXPECT_EQ(std::string(buf->data, static_cast<size_t>(buf->length)), "\x01 12 MAS 4 1 100 10 5 2 # 1058 \r");
    // History from no time at all: the year 2005, the rest the zero time made local.
    EXPECT_EQ(format(7, V6_WGH_HISTORY, DIR_READ), "\x01 7 WGH 05 01 01 01 00 # 1029 \r");
    EXPECT_EQ(ch_->step.load(), STEP_WGH_SENT);
    setenv("TZ", "EST5", 1);  // west of UTC the zero time has no local form
    tzset();
    EXPECT_EQ(format(7, V6_WGH_HISTORY, DIR_READ).substr(0, 23), "\x01 7 WGH 05 01 01 00 00 ");

    const std::string wca = format(12, V6_WCA_ALARMS, DIR_WRITE);
    const size_t hash = wca.find('#');
    EXPECT_TRUE(std::isdigit(wca[hash - 1])) << wca;  // the minute runs into "#"
    EXPECT_EQ(wca.substr(hash + 2, wca.size() - hash - 4), std::to_string(frameChecksum(wca.data() + 1, hash - 1)));
}

TEST_F(RequestTest, DispatcherServesOnlyTheKnownCodes) {
    for (uint32_t code : {0u, 7u, 13u, 15u, 20u, 21u, 22u, 23u}) {
        EXPECT_EQ(format(12, code, DIR_READ), "-") << code;
        EXPECT_NE(format(12, code, DIR_READ_TIME), "-") << code;  // anything but 1 writes
    }
    for (uint32_t code : {8u, 11u, 18u, 24u}) EXPECT_EQ(format(12, code, DIR_WRITE), "-") << code;
    for (uint32_t code : {12u, 14u, 16u, 17u, 19u}) EXPECT_NE(format(12, code, DIR_READ), "-") << code;
    EXPECT_EQ(ch_->currentStation.load(), 12);
}

TEST_F(RequestTest, SetpointWritesCutDecimalsAndCarryTheRoute) {
    EXPECT_EQ(mccValue(5, 18, 3.14159f), "9 2 3.14");
    EXPECT_EQ(ch_->step.load(), STEP_MCC_WRITE);
    EXPECT_EQ(mccValue(3, 18, 7.9f), "9 0 7.");
    EXPECT_EQ(mccValue(4, 2, 2.999f), "1 1 2.9");
    EXPECT_EQ(mccValue(0, 4, uint16_t{65535}), "2 A 65535");
    EXPECT_EQ(mccValue(1, 4, uint16_t{1}), "2 D 1");
    EXPECT_EQ(mccValue(2, 20, 0), "2 T 'My_Station_name'");
    EXPECT_TRUE(traced("Write MCC"));
    std::string hex;
    for (int i = 0; i < buf->length && hex.size() < 195; ++i) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X,", static_cast<unsigned char>(buf->data[i]));
        hex += two;
    }
    EXPECT_TRUE(traced("[5] SendMCC: " + hex));
    // A node missing from the table has no route.
    EXPECT_EQ(format(99, 1, DIR_WRITE, 4).substr(0, 10), "\x01 99 MCC  ");
}
