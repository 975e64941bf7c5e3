// Request telegrams: the dispatcher's choice and the exact bytes of each telegram.
#include <algorithm>
#include <cctype>

#include "v6_fixture.h"

using namespace v6;

namespace {

class RequestTest : public V6Test {
protected:
    void SetUp() override {
        V6Test::SetUp();
        channel();
        addNode(12, "A1");
        addNode(7, "7");
        buf = takeBuf(ch_.get(), &ch_->freeQueue);
    }
    void TearDown() override {
        insBuf(ch_.get(), &ch_->freeQueue, buf);
        dropRequest();
        V6Test::TearDown();
    }
    // Formats a request; the telegram, or "-" when it is not served.
    std::string format(uint32_t node, uint32_t address, uint32_t direction, uint32_t index = 0,
                       uint16_t word = 0) {
        dropRequest();
        HostMsg *m = request(node, address, direction, index);
        std::memcpy(m->data, &word, sizeof word);
        return SendRequest(ch_.get(), buf) == 1 ? telegram(buf) : "-";
    }
    std::string formatFloat(uint32_t code, uint32_t index, float value) {
        dropRequest();
        HostMsg *m = request(12, code, DIR_WRITE, index);
        std::memcpy(m->data, &value, sizeof value);
        EXPECT_EQ(SendRequest(ch_.get(), buf), 1);
        return telegram(buf);
    }
    V6Buffer *buf = nullptr;
};

// A telegram's checksum field matches its bytes.
void expectValidChecksum(const std::string &t) {
    const size_t hash = t.find('#');
    ASSERT_NE(hash, std::string::npos);
    EXPECT_EQ(std::to_string(frameChecksum(t.data() + 1, static_cast<int>(hash) - 1)),
              t.substr(hash + 2, t.size() - hash - 4));
    EXPECT_EQ(t.substr(t.size() - 2), " \r");
}

// Splits what follows `prefix` in a telegram up to its "#" into blank-separated words;
// empty when the telegram does not start with the prefix or has no "#".
std::vector<std::string> wordsAfter(const std::string &t, const std::string &prefix) {
    std::vector<std::string> words;
    const size_t hash = t.find('#');
    if (t.rfind(prefix, 0) != 0 || hash == std::string::npos) return words;
    std::string word;
    for (size_t i = prefix.size(); i < hash; ++i) {
        if (t[i] == ' ') {
            words.push_back(word);
            word.clear();
        } else {
            word += t[i];
        }
    }
    if (!word.empty()) words.push_back(word + "#");  // a word glued to the "#"
    return words;
}

bool twoDigits(const std::string &w) { return w.size() == 2 && std::isdigit(w[0]) && std::isdigit(w[1]); }

}  // namespace

TEST_F(RequestTest, FixedTelegramsAreExact) {
    EXPECT_EQ(format(12, V6_OK, DIR_WRITE), std::string("\x01 OK # 218 \r"));
    EXPECT_EQ(buf->length, 12);
    EXPECT_EQ(ch_->step.load(), STEP_OK_SENT);
    EXPECT_EQ(format(12, V6_ADDRESS(V6_WGS_PICTURE, 5), DIR_READ, 6), "\x01 12 WGS P 3 ! 5 # 781 \r");
    EXPECT_EQ(ch_->step.load(), STEP_WGS_SENT);
    EXPECT_EQ(format(12, V6_MACHINE, DIR_WRITE, 600, 4), "\x01 12 WGS P 44 N 0 # 874 \r");
    EXPECT_EQ(format(12, V6_MACHINE, DIR_WRITE, 0, 3), "\x01 12 WGS P 0 ! 0 # 773 \r");
    EXPECT_EQ(format(12, V6_ALO_ACK, DIR_WRITE), "\x01 0 ALO # 364 \r");
    EXPECT_EQ(ch_->step.load(), STEP_ALO_SENT);
    ch_->step.store(STEP_ALARMS);
    EXPECT_EQ(format(12, V6_BRK, DIR_WRITE), "\x01 12 BRK # 418 \r");
    EXPECT_EQ(ch_->step.load(), STEP_ALARMS);  // BRK leaves the step alone
    EXPECT_EQ(format(12, V6_MCC_READ, DIR_READ), "\x01 12 MCC 0 1 # 567 \r");
    EXPECT_EQ(ch_->step.load(), STEP_MCC_SENT);
    EXPECT_EQ(format(12, V6_MAS_READ, DIR_WRITE), "\x01 12 MAS 0 1 # 581 \r");
    EXPECT_EQ(ch_->step.load(), STEP_MAS_SENT);

    dropRequest();
    HostMsg *m = request(12, V6_MAS_WRITE, DIR_WRITE, 8);
    const uint16_t words[5] = {1, 100, 10, 5, 2};
    std::memcpy(m->data, words, sizeof words);
    ASSERT_EQ(SendRequest(ch_.get(), buf), 1);
    EXPECT_EQ(telegram(buf), "\x01 12 MAS 4 1 100 10 5 2 # 1058 \r");
    EXPECT_TRUE(traced("Write MAS"));
    EXPECT_EQ(ch_->currentStation.load(), 12);
}

TEST_F(RequestTest, DispatcherServesOnlyTheKnownCodes) {
    for (uint32_t code : {0u, 7u, 13u, 15u, 20u, 21u, 22u, 23u})
        EXPECT_EQ(format(12, code, DIR_READ), "-") << code;
    for (uint32_t code : {8u, 11u, 18u, 24u, 0xFFFFu}) {
        EXPECT_EQ(format(12, code, DIR_READ), "-") << code;
        EXPECT_EQ(format(12, code, DIR_WRITE), "-") << code;
    }
    for (uint32_t code : {12u, 14u, 16u, 17u, 19u}) EXPECT_NE(format(12, code, DIR_READ), "-") << code;
    // Anything but 1 is a write, 16 included.
    for (uint32_t code : {0u, 13u, 15u, 20u, 21u, 22u, 23u}) EXPECT_NE(format(12, code, DIR_READ_TIME), "-") << code;
}

TEST_F(RequestTest, SetpointWriteCutsDecimalsAndCarriesTheRoute) {
    // The fields behind the six time fields.
    auto body = [&](const std::string &t) {
        const auto w = wordsAfter(t, "\x01 12 MCC A1 ");
        if (w.size() < 6 || !std::all_of(w.begin(), w.begin() + 6, twoDigits)) return "no match: " + t;
        std::string rest;
        for (size_t i = 6; i < w.size(); ++i) rest += (i > 6 ? " " : "") + w[i];
        return rest;
    };
    std::string t = formatFloat(5, 2 * 9, 3.14159f);
    EXPECT_EQ(body(t), "9 2 3.14");
    expectValidChecksum(t);
    EXPECT_EQ(ch_->step.load(), STEP_MCC_WRITE);
    EXPECT_TRUE(traced("Write MCC"));
    EXPECT_EQ(body(formatFloat(3, 2 * 9, 7.9f)), "9 0 7.");
    EXPECT_EQ(body(formatFloat(6, 2, 2.999f)), "1 3 2.999");
    EXPECT_EQ(body(formatFloat(4, 2, 2.999f)), "1 1 2.9");
    EXPECT_EQ(body(format(12, 0, DIR_WRITE, 4, 65535)), "2 A 65535");
    EXPECT_EQ(body(format(12, 1, DIR_WRITE, 4, 1)), "2 D 1");
    EXPECT_EQ(body(format(12, 2, DIR_WRITE, 20)), "2 T 'My_Station_name'");

    // The hexadecimal trace shows the telegram from the SOH up to its CR.
    clearTraces();
    t = format(12, 1, DIR_WRITE, 4, 1);
    std::string hex;
    for (unsigned char c : t) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X,", c);
        hex += two;
    }
    EXPECT_TRUE(traced("[5] SendMCC: " + hex.substr(0, 195))) << hex;

    // A node that is not in the table has no route: the field is empty.
    t = format(99, 1, DIR_WRITE, 4, 1);
    EXPECT_EQ(t.substr(0, 10), "\x01 99 MCC  ");
}

TEST_F(RequestTest, TimeTextsFollowLocalTime) {
    const std::string t = format(12, V6_WGD_REPORT, DIR_READ);
    const auto w = wordsAfter(t, "\x01 12 WGD ");
    ASSERT_EQ(w.size(), 8u) << t;
    EXPECT_TRUE(std::all_of(w.begin(), w.end(), twoDigits)) << t;
    EXPECT_EQ(w[0] + w[1] + w[2], w[5] + w[6] + w[7]);  // the same date twice
    expectValidChecksum(t);
    EXPECT_EQ(ch_->step.load(), STEP_WGD_SENT);

    const std::string wca = format(12, V6_WCA_ALARMS, DIR_WRITE);
    const auto a = wordsAfter(wca, "\x01 12 WCA 0 ");
    ASSERT_EQ(a.size(), 5u) << wca;
    EXPECT_EQ(a[4].back(), '#');  // no blank between the minute and "#"
    EXPECT_EQ(a[0].size(), 2u);   // the year without leading zero: 26
    expectValidChecksum(wca);

    // History from no time at all: the year is 2005, the rest the zero time made local.
    EXPECT_EQ(format(7, V6_WGH_HISTORY, DIR_READ), "\x01 7 WGH 05 01 01 01 00 # 1029 \r");
    EXPECT_EQ(ch_->step.load(), STEP_WGH_SENT);
    // 2026-07-01 10:30 UTC is 12:30 summer time.
    plat::SystemTime st{2026, 7, 0, 1, 10, 30, 0, 0};
    plat::FileTime ft = 0;
    ASSERT_TRUE(plat::systemTimeToFileTime(&st, &ft));
    dropRequest();
    HostMsg *msg = request(7, V6_WGH_HISTORY, DIR_READ);
    std::memcpy(msg->data, &ft, sizeof ft);
    ASSERT_EQ(SendRequest(ch_.get(), buf), 1);
    EXPECT_EQ(telegram(buf).substr(0, 23), "\x01 7 WGH 26 07 01 12 30 ");

    // West of UTC the zero time has no local form; it goes out as 1 January, 00:00.
    setenv("TZ", "EST5", 1);
    tzset();
    EXPECT_EQ(format(7, V6_WGH_HISTORY, DIR_READ).substr(0, 23), "\x01 7 WGH 05 01 01 00 00 ");
}

TEST_F(RequestTest, SelfRequestsGoToTheTailOfTheOutputQueue) {
    ch_->currentStation.store(7);
    HostMsg *first = getMsgFromPool(kChan);
    putMsgToSapOq(kChan, first);
    EXPECT_EQ(queueSelfRequest(ch_.get(), V6_BRK, 3, 0xBEEF), 1);
    EXPECT_EQ(getMsgFromSapOq(kChan), first);
    HostMsg *m = getMsgFromSapOq(kChan);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->node, 7u);
    EXPECT_EQ(m->address, uint32_t{V6_BRK});
    EXPECT_EQ(m->index, 3u);
    EXPECT_EQ(m->direction, uint32_t{DIR_WRITE});
    EXPECT_EQ(m->length, 1);
    EXPECT_EQ(m->errGroup + m->errCode + m->errSub, 0u);
    EXPECT_EQ(valueAs<uint16_t>(m), 0xBEEF);
    putMsgToPool(kChan, first);
    putMsgToPool(kChan, m);

    // An empty pool drops the request quietly.
    hydrix::rt::configurePool(kChan, 0, 16);
    EXPECT_EQ(queueSelfRequest(ch_.get(), V6_BRK, 0, 0), 1);
    EXPECT_EQ(hydrix::rt::outputQueueLength(kChan), 0);
}

TEST_F(RequestTest, TimeStampTrace) {
    plat::SystemTime st{2026, 3, 0, 4, 5, 6, 7, 8};
    plat::FileTime ft = 0;
    ASSERT_TRUE(plat::systemTimeToFileTime(&st, &ft));
    traceTimeStamp("NO BUFFER WRITE TIME", ft, 12);
    EXPECT_TRUE(traced("N:012 NO BUFFER WRITE TIME  2026/03/04 05:06:07:008"));
}
