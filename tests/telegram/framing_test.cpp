// Block check, reply classification and request framing, on byte arrays.
#include <cstring>

#include "tg_fixture.h"

namespace {

TEST(CalcBcc, SignedSumFoldedToItsMagnitude) {
    EXPECT_EQ(tg::calcBCC(" 12 WGS P 0 ! 3 #"), 776);
    EXPECT_EQ(tg::calcBCC(" OK #"), 218);
    EXPECT_EQ(tg::calcBCC(" 12 BRK # 99"), 418);
    EXPECT_EQ(tg::calcBCC(" OK"), 186);  // no '#': up to the NUL
    EXPECT_EQ(tg::calcBCC("#abc"), 0);
    EXPECT_EQ(tg::calcBCC(""), 0);
    EXPECT_EQ(tg::calcBCC(" O\x13K\x13 #"), 218);      // DC3 never counts
    EXPECT_EQ(tg::calcBCC(" \xE5\xE5#"), 22);          // bytes >= 0x80 lower the sum
    EXPECT_EQ(tg::calcBCC(std::string(300, '\x80').c_str()), 27136);
    EXPECT_EQ(tg::calcBCC(std::string(256, '\x80').c_str()), 32768);
}

class CheckReply : public ::testing::Test {
protected:
    TraceCapture trace;
    std::unique_ptr<TelegramChannel> ch = newChannel(0);
    int32_t check(const std::string &bytes, uint32_t tag = 5) {
        fillReply(ch.get(), bytes);
        return tg::checkRxTelegram(ch.get(), tag);
    }
};

TEST_F(CheckReply, ReplyWordsInTheirOrder) {
    // "OK" is compared on two letters, the others on three.
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {" NDA ", tg::RX_NDA}, {" SCO ", tg::RX_SCO}, {" ALR 12 ", tg::RX_ALR}, {" ALN ", tg::RX_ALN},
        {" ACT 12 ", tg::RX_ACT}, {" OKAY ", tg::RX_OK}, {" 1 2 3 ", tg::RX_DATA}, {" SC ", tg::RX_DATA}};
    for (const auto &[text, result] : cases) EXPECT_EQ(check(reply(text)), result) << text;
    EXPECT_TRUE(trace.has("checkRxTelegram: OK received"));
    EXPECT_EQ(pending(ch.get()), Triple({0, 0, 0}));  // none of these is an error
    EXPECT_EQ(check(reply(" SCE "), 3), tg::RX_SCE);
    EXPECT_EQ(pending(ch.get()), Triple({ERRGRP_CONTENT, ERR_SCE, 3}));
    EXPECT_TRUE(trace.has("checkRxTelegram: SCE (Error in telegram) reply received"));
}

TEST_F(CheckReply, BadFramingAndBlockCheck) {
    EXPECT_EQ(check("\x02 OK  218\r\n", 6), tg::RX_BAD);  // no '#'
    EXPECT_EQ(pending(ch.get()), Triple({ERRGRP_LINE, ERR_FRAMING, 6}));
    EXPECT_TRUE(trace.has("checkRxTelegram: Incorrect telegram framing"));
    EXPECT_EQ(check(reply(" OK ").substr(1)), tg::RX_BAD);       // no STX first
    EXPECT_EQ(check("\x02 OK # 218 x"), tg::RX_BAD);             // no CR or LF last
    EXPECT_EQ(check("#"), tg::RX_BAD);                           // '#' at 0 does not count
    EXPECT_EQ(check(""), tg::RX_BAD);
    EXPECT_EQ(check("\x02 OK # 218\r"), tg::RX_OK);              // CR alone ends it too

    EXPECT_EQ(check(reply(" OK ", 1), 1), tg::RX_BAD);
    EXPECT_EQ(pending(ch.get()), Triple({ERRGRP_LINE, ERR_BCC, 1}));
    EXPECT_TRUE(trace.has("checkRxTelegram: BCC Calc 218 Recv 219"));
    // The check covers the text up to the first '#'; the received value follows the last.
    EXPECT_EQ(check("\x02 1 # 2 # 113\r\n"), tg::RX_DATA);
}

}  // namespace
