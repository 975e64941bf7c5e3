// The engine's byte-level pieces on arrays: block check, reply classification, the reply
// parsers at their limits and the local-to-UTC conversion of history and alarm times.
#include "telegram/parsers.h"
#include "tg_fixture.h"

namespace {

TEST(CalcBcc, SignedSumFoldedToItsMagnitude) {
    EXPECT_EQ(tg::calcBCC(" OK"), 186);  // no '#': up to the NUL
    EXPECT_EQ(tg::calcBCC("#abc"), 0);
    EXPECT_EQ(tg::calcBCC(""), 0);
    EXPECT_EQ(tg::calcBCC(" O\x13K\x13 #"), 218);  // DC3 never counts
    EXPECT_EQ(tg::calcBCC(" \xE5\xE5#"), 22);      // bytes >= 0x80 lower the sum
    EXPECT_EQ(tg::calcBCC(std::string(300, '\x80').c_str()), 27136);
    EXPECT_EQ(tg::calcBCC(std::string(256, '\x80').c_str()), 32768);
}

class Bytes : public ::testing::Test {
protected:
    void SetUp() override { useCentralEuropeanTime(); }
    TraceCapture trace;
    std::unique_ptr<TelegramChannel> ch = newChannel(0);
    int32_t check(const std::string &bytes, uint32_t tag = 5) {
        std::memset(ch->rxBuf, 0, sizeof ch->rxBuf);  // as if `bytes` had just been read
        std::memcpy(ch->rxBuf, bytes.data(), bytes.size());
        ch->rxLen = static_cast<int32_t>(bytes.size());
        return tg::checkRxTelegram(ch.get(), tag);
    }
    plat::SystemTime at{};
    float values[tg::HISTORY_MAX_VALUES] = {};
    int count = 0;
    const char *history(const char *text) {
        return tg::parseHistoryRecord(ch.get(), text, &at, values, tg::HISTORY_MAX_VALUES, &count);
    }
};

TEST_F(Bytes, ReplyWordsInTheirOrder) {
    // "OK" is compared on two letters, the others on three.
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {" NDA ", tg::RX_NDA},    {" SCO ", tg::RX_SCO}, {" ALR 12 ", tg::RX_ALR}, {" ALN ", tg::RX_ALN},
        {" ACT 12 ", tg::RX_ACT}, {" OKAY ", tg::RX_OK}, {" 1 2 3 ", tg::RX_DATA}, {" SC ", tg::RX_DATA}};
    for (const auto &[text, result] : cases) EXPECT_EQ(check(reply(text)), result) << text;
    EXPECT_TRUE(trace.has("checkRxTelegram: OK received"));
    EXPECT_EQ(pending(ch.get()), Triple({0, 0, 0}));  // none of these is an error
    EXPECT_EQ(check(reply(" SCE "), 3), tg::RX_SCE);
    EXPECT_EQ(pending(ch.get()), Triple({ERRGRP_CONTENT, ERR_SCE, 3}));
    EXPECT_TRUE(trace.has("checkRxTelegram: SCE (Error in telegram) reply received"));
}

TEST_F(Bytes, BadFramingAndBlockCheck) {
    EXPECT_EQ(check("\x02 OK  218\r\n", 6), tg::RX_BAD);  // no '#'
    EXPECT_EQ(pending(ch.get()), Triple({ERRGRP_LINE, ERR_FRAMING, 6}));
    EXPECT_TRUE(trace.has("checkRxTelegram: Incorrect telegram framing"));
    // No STX first, no CR or LF last, '#' at 0 (which does not count), nothing at all.
    for (const std::string &bad :
         {reply(" OK ").substr(1), std::string("\x02 OK # 218 x"), std::string("#"), std::string()})
        EXPECT_EQ(check(bad), tg::RX_BAD) << bad;
    EXPECT_EQ(check("\x02 OK # 218\r"), tg::RX_OK);  // CR alone ends it too

    EXPECT_EQ(check(reply(" OK ", 1), 1), tg::RX_BAD);
    EXPECT_EQ(pending(ch.get()), Triple({ERRGRP_LINE, ERR_BCC, 1}));
    EXPECT_TRUE(trace.has("checkRxTelegram: BCC Calc 218 Recv 219"));
    // The check covers the text up to the first '#'; the received value follows the last.
    EXPECT_EQ(check("\x02 1 # 2 # 113\r\n"), tg::RX_DATA);
}

TEST_F(Bytes, SetpointFieldsNumbersTypesAndTexts) {
    const char *p = " 1 0 12.5 127 2X 3.14 9 T 'ab cd' 10 T '0123456789abcdefXYZ' 11 Q 5 #";
    for (int i = 0; i < 5; ++i) ASSERT_NE(p = tg::parseSetpointField(ch.get(), p), nullptr) << i;
    EXPECT_EQ(*p, '#');
    const SetpointEntry *t = ch->setpointTable;
    EXPECT_EQ(std::string({t[1].type, t[127].type, t[9].type, t[11].type}), "02TQ");  // "2X" is '2'
    EXPECT_EQ(int{t[127].index}, 127);
    EXPECT_EQ(std::vector<float>({t[1].value, t[127].value, t[9].value, t[11].value}),
              std::vector<float>({12.5f, 3.14f, 0, 0}));
    EXPECT_EQ(std::string(t[9].text), "ab cd");
    EXPECT_EQ(std::string(t[10].text, 16), "0123456789abcdef");  // cut, not terminated

    for (const char *bad : {" 0 0 1 #", " 128 0 1 #", " #"}) {
        EXPECT_EQ(tg::parseSetpointField(ch.get(), bad), nullptr) << bad;
        EXPECT_EQ(pending(ch.get()), Triple({ERRGRP_CONTENT, ERR_SETPOINT_NUMBER, bad[1] == '1' ? 128u : 0u}));
    }
}

TEST_F(Bytes, HistoryRecordsInUtc) {
    const char *p = history(" 26 03 15 00 00 1.5 2.5 ! 26 07 01 12 30 5!6 !  # 1234");
    ASSERT_NE(p, nullptr);
    // 00:00 closes the day it names: 16 March 00:00 CET is 15 March 23:00 UTC.
    EXPECT_EQ(fileTime(at), utc(2026, 3, 15, 23, 0));
    EXPECT_EQ(count, 2);
    EXPECT_FLOAT_EQ(values[1], 2.5f);
    p = history(p);
    EXPECT_EQ(fileTime(at), utc(2026, 7, 1, 10, 30));  // summer time
    EXPECT_EQ(count, 1);                               // "5!6" is one value
    EXPECT_EQ(*p, '#');
}

TEST_F(Bytes, HistoryRecordFailuresAndOverlongRecords) {
    EXPECT_EQ(history(" 26 03 15 10 00 !"), nullptr);
    EXPECT_EQ(pending(ch.get()), Triple({ERRGRP_CONTENT, ERR_HISTORY_FIELDS, 5}));
    EXPECT_EQ(history(" 26 02 31 10 00 1 !"), nullptr);
    EXPECT_EQ(ch->pendErrCode, static_cast<uint32_t>(ERR_HISTORY_TIME));
    EXPECT_EQ(history(" 99999 1 1 10 0 1 !"), nullptr);

    std::string big = " 26 01 02 03 04";
    for (int i = 0; i < 300; ++i) {  // in steps: `" " + std::string` trips g++ 12's -Wrestrict at -O3
        big += ' ';
        big += std::to_string(i);
    }
    big += " ! #";
    const char *p = history(big.c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, '#');
    EXPECT_EQ(count, 300);  // all counted, the first 128 kept (values holds no more)
    EXPECT_FLOAT_EQ(values[127], 127.0f);
}

TEST_F(Bytes, AlarmLines) {
    tg::AlarmRecord a{};
    ASSERT_TRUE(tg::parseAlarmRecord(ch.get(), " ALR 3 17 26 12 04 10 30 Akt 0 0 0 0 0 0 # 99", &a));
    EXPECT_EQ(std::vector<int>({a.alarmNode, a.alarmCode, int(a.flag), a.localTime.wHour, a.localTime.wSecond}),
              std::vector<int>({3, 17, 1, 10, 0}));  // local time kept as sent

    EXPECT_FALSE(tg::parseAlarmRecord(ch.get(), " ALR 3 17 26 07 04 10 30 A 0 0 0 0 0 #", &a));
    EXPECT_EQ(pending(ch.get()), Triple({ERRGRP_CONTENT, ERR_ALARM_FIELDS, 13}));
    EXPECT_FALSE(tg::parseAlarmRecord(ch.get(), " AL", &a));

    // An impossible date takes the computer's local time.
    plat::SystemTime now{};
    plat::getLocalTime(&now);
    ASSERT_TRUE(tg::parseAlarmRecord(ch.get(), " ALR 1 2 26 02 31 10 30 A 0 0 0 0 0 0 #", &a));
    EXPECT_EQ(a.localTime.wYear * 10000 + a.localTime.wMonth * 100 + a.localTime.wDay,
              now.wYear * 10000 + now.wMonth * 100 + now.wDay);
}

}  // namespace
