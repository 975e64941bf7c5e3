// Reply parsers: the host messages each reply becomes, resuming when the host's pool
// runs dry, and replies that are cut short or malformed.
#include "v6_fixture.h"

using namespace v6;

namespace {

int32_t wgd(V6Channel *c) { return FormatWGD(c, 1); }
int32_t wgs(V6Channel *c) { return FormatWGS(c, 1); }

}  // namespace

TEST_F(V6Test, ListRepliesBecomeOneMessagePerRecord) {
    request(40, V6_ADDRESS(V6_MCC_READ, 7), DIR_READ);
    auto parse = [&](const char *text, int32_t (*parser)(V6Channel *)) {
        parseReply(text);
        EXPECT_EQ(parser(ch_.get()), 0);
        EXPECT_EQ(ch_->replyBuffer, nullptr);
        return delivered();
    };
    auto got = parse("\x02 1 A 17 2 0 1.5 3 T 'PUMPE'", FormatMCC);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0]->node, 40u);
    EXPECT_EQ(got[0]->index, 2u);
    EXPECT_EQ(valueAs<uint16_t>(got[0]), 17);
    EXPECT_TRUE(traced("C:1 ANALOG 17"));
    EXPECT_EQ(got[1]->address, 3u);
    EXPECT_EQ(valueAs<float>(got[1]), 1.5f);
    EXPECT_EQ(got[2]->index, 30u);
    EXPECT_EQ(got[2]->length, 3);
    EXPECT_EQ(std::string(static_cast<const char *>(got[2]->data), 6), std::string("UPPM\0E", 6));

    got = parse("\x02 1 2 3 4 5 6 7 8 9 -10", wgd);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1]->index, 20u);
    EXPECT_EQ(valueAs<int32_t>(got[1], 16), -10);

    got = parse("\x02 4 1 100 10 5 2", FormatMAS);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->index, 8u);
    const uint16_t words[5] = {1, 100, 10, 5, 2};
    EXPECT_EQ(std::memcmp(got[0]->data, words, sizeof words), 0);
    EXPECT_TRUE(traced("Channel:4 OFFS:8 Type 1 HighA:100 LowA:10 Hyst:5 Decimal:2"));

    got = parse("\x02 0 0 0 5 0 0 0 0 0 11 12 13 14 15 16", wgs);  // split count 5
    ASSERT_EQ(got.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(got[i]->address, i < 4 ? 0x00070009u : 11u);
        EXPECT_EQ(got[i]->index, i < 4 ? 2u * (i + 1) : 2u * (i - 4));
        EXPECT_EQ(valueAs<int32_t>(got[i]), 11 + i);
    }
    // A dry pool in the middle of a list: ResumeTest.APausedParseGoesOnExactlyWhereItStopped.
}

TEST_F(V6Test, HistoryComesInChunksAndResumesMidRecord) {
    HostMsg *req = request(40, V6_WGH_HISTORY, DIR_READ);
    parseReply("\x02 26 03 01 10 00 1 2 3 ! 26 03 01 11 00 4 5 6 !", 2);
    EXPECT_EQ(formatWGH(ch_.get(), 1), 1);
    auto got = delivered();
    ASSERT_EQ(got.size(), 7u);
    const OrvelTime t1 = localTime(2026, 3, 1, 10, 0), t2 = localTime(2026, 3, 1, 11, 0);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(got[i]->index, 2u * (i % 3 + 1));
        EXPECT_EQ(got[i]->timeStamp, i < 3 ? t1 : t2);
        EXPECT_EQ(valueAs<int32_t>(got[i]), i + 1);
    }
    EXPECT_EQ(got[6]->direction, uint32_t{DIR_READ_TIME});
    EXPECT_EQ(valueAs<OrvelTime>(req), t2);  // where the next chunk starts
    EXPECT_EQ(formatWGH(ch_.get(), 0), 0);   // the request goes back to the head of the queue
    EXPECT_EQ(getMsgFromSapOq(kChan), req);

    // A dry pool mid-record: the values go on from where they stopped.
    hydrix::rt::configurePool(kChan, 3, 64);
    request(40, V6_WGH_HISTORY, DIR_READ);
    parseReply("\x02 26 03 01 10 00 1 2 3 4 !", 2);
    EXPECT_EQ(formatWGH(ch_.get(), 1), 1);
    EXPECT_TRUE(traced("NO BUFFER formatWGH"));
    got = delivered();
    ASSERT_EQ(got.size(), 2u);
    giveBack(got);
    EXPECT_EQ(formatWGH(ch_.get(), 0), 1);
    got = delivered();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0]->index, 6u);
    EXPECT_EQ(valueAs<int32_t>(got[0]), 3);
    EXPECT_EQ(got[1]->timeStamp, t1);  // a resumed call keeps the record's time
    EXPECT_TRUE(traced("N:040 NO BUFFER WRITE TIME  2026/03/01 09:00:00:000"));
}

TEST_F(V6Test, MalformedRepliesNeverReadPastTheText) {
    request(40, V6_MCC_READ, DIR_READ);
    // `kept`: a field error leaves the reply for the channel thread to release.
    struct Case {
        const char *text;
        int32_t (*parse)(V6Channel *);
        size_t messages;
        const char *trace;
        bool kept;
    };
    const Case cases[] = {
        {"\x02 1 A 17 2 0", FormatMCC, 1, "[5] FormatMCC: reply ends inside a record", false},
        {"\x02 1 A 17 2", FormatMCC, 1, "UMULIGT", false},
        {"\x02 1 2 3 4 5 6 7", wgd, 1, "[5] FormatWGD: reply ends inside a record", false},
        {"\x02 4 1 100 10 5 2 3 1", FormatMAS, 1, "[5] FormatMAS: reply ends inside a record", false},
        {"\x02 0 0 0 5 0 0", wgs, 0, "[5] FormatWGS: reply ends inside a record", false},
        {"\x02 12345678901 A 1", FormatMCC, 0, "FormatMCC1 error n = 11", true},
        {"\x02 1 T '0123456789012345678901234567890'", FormatMCC, 0, "FormatMCC2 error n = 31", true},
        // A record whose last field is too long does not go out.
        {"\x02 1 2 3 4 55555555555 6", wgd, 0, "FormatWGD5 error n = 11", true},
        {"\x02 1 22222222222 3 4 5", wgd, 0, "FormatWGD2 error n = 11", true},
        {"\x02 1 1 1 1 1 66666666666", FormatMAS, 0, "GetHistTime4 error n = 11", true},
        {"\x02 0 0 0 0 0 0 0 0 0 7 12345678901 8", wgs, 1, "FormatWGS10 error n = 11", true},
        {"\x02 0 0 0 0 0 0 0 0 99999999999 1", wgs, 0, "FormatWGS9 error n = 11", true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.text);
        parseReply(k.text);
        EXPECT_EQ(k.parse(ch_.get()), 0);
        EXPECT_TRUE(traced(k.trace, true));
        EXPECT_EQ(ch_->replyBuffer != nullptr, k.kept);
        auto got = delivered();
        EXPECT_EQ(got.size(), k.messages);
        giveBack(got);
        if (ch_->replyBuffer) insBuf(ch_.get(), &ch_->freeQueue, ch_->replyBuffer);
        ch_->replyBuffer = nullptr;
    }
    EXPECT_EQ(hydrix::rt::poolAvailable(kChan), 63);

    OrvelTime t = 0;
    const std::string longField = "26 07 01 123456789012 30 5";
    EXPECT_EQ(GetHistTime(longField.data(), longField.data() + longField.size(), &t), nullptr);
    EXPECT_TRUE(traced("GetHistTime4 error n = 12"));
}
