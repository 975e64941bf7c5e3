// Why a request failed is a value (a cause), set from the driver's error triple or from
// the telegrams on the line, never read from the driver's trace: with every trace line
// reworded on its way to the host, each failure of each engine is told as before.
#include <gtest/gtest.h>

#include <atomic>

#include "cli_harness.h"
#include "config.h"
#include "host.h"
#include "query.h"
#include "runtime/runtime.h"

namespace clitest {
namespace {

namespace cli = hydrix::cli;
namespace st = hydrix::station;
using cli::Cause;

struct Case {
    bool v6;
    std::string fault;  // "silent", "bcc", "short-report", or a word to answer
    cli::What what;
    Cause expected;
};

std::string name(const Case &c) {
    return std::string(c.v6 ? "v6 " : "telegram ") + (c.fault.empty() ? "-" : c.fault) + " -> " +
           cli::causeKey(c.expected);
}

cli::Records runCase(const Case &c, std::atomic<int> *reworded) {
    StationLine line(c.v6);
    st::Faults f;
    f.silent = c.fault == "silent";
    f.wrongBcc = c.fault == "bcc";
    if (c.fault.size() == 3) f.forceReply = c.fault;
    if (c.fault == "short-report")  // four numbers a row: no report reads so
        line.sim().editModel([&](st::Model &m) { m.find(line.plant())->reportRows = {{1, 2, 3, 4}}; });
    line.setFaults(f);
    std::string error;
    std::vector<cli::Finding> warnings;
    auto config = cli::loadConfig(line.profilePath(), false, &error, &warnings);
    EXPECT_TRUE(config) << error;
    if (!config) return {};
    const int channel = c.v6 ? 1 : 0;
    cli::HostOptions options;
    options.library = HYDRIX_LIBRARY_PATH;
    cli::Host host;
    EXPECT_TRUE(host.start(*config, {channel}, options, &error)) << error;
    // Every trace line the driver writes reaches the host reworded.
    hydrix::rt::setTraceSink([reworded](const std::string &text) {
        std::string changed = text;
        for (char &ch : changed)
            if (ch >= 'a' && ch <= 'z') ch = static_cast<char>('a' + (ch - 'a' + 13) % 26);
        if (changed != text) ++*reworded;
    });
    cli::Query q;
    q.what = c.what;
    q.target = {channel, static_cast<uint32_t>(line.plant())};
    q.first = 1;
    q.count = 2;
    q.setpoint = 99;  // a setpoint the station does not have
    q.setpointType = '0';
    q.value = 1;
    q.valueText = "1";
    q.letter = 'M';
    cli::Records records = cli::runQuery(host, *config->channel(channel), q, {});
    hydrix::rt::setTraceSink({});
    host.stop();
    return records;
}

TEST(Causes, EachFailureIsToldByItsCauseWhateverTheTraceSays) {
    const std::vector<Case> cases = {
        {false, "silent", cli::What::Picture, Cause::NoReply},
        {false, "bcc", cli::What::Picture, Cause::DamagedReply},
        {false, "NDA", cli::What::Picture, Cause::NoData},
        {false, "SCE", cli::What::Command, Cause::Refused},
        {false, "SCO", cli::What::Picture, Cause::UnexpectedReply},
        {false, "short-report", cli::What::Report, Cause::BadContent},
        {true, "silent", cli::What::Picture, Cause::NoReply},
        {true, "bcc", cli::What::Picture, Cause::DamagedReply},
        {true, "NDA", cli::What::Report, Cause::NoData},
        {true, "", cli::What::WriteSetpoint, Cause::Refused},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(name(c));
        std::atomic<int> reworded{0};
        const cli::Records records = runCase(c, &reworded);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(cli::causeKey(records.front().cause), std::string(cli::causeKey(c.expected)))
            << records.front().errorText;
        EXPECT_FALSE(records.front().errorText.empty());
        EXPECT_GT(reworded.load(), 0) << "the driver traced nothing: the case proves nothing";
        // Only the station that does not answer takes its line offline.
        EXPECT_EQ(cli::lineDown(records.front().cause), c.fault == "silent");
    }
}

// The words for an answer come from the telegrams themselves.
TEST(Causes, TheLastAnswerOnTheLineTellsTheCause) {
    const auto frame = [](const std::string &text) {
        uint32_t sum = 0;
        for (char ch : text) sum += static_cast<uint8_t>(ch);
        sum %= 65536;
        if (sum >= 32768) sum = 65536 - sum;
        return "\x02" + text + "# " + std::to_string(sum);
    };
    EXPECT_EQ(cli::answerCause({}), Cause::NoReply);
    EXPECT_EQ(cli::answerCause({frame(" 1 2 3 ")}), Cause::None);
    EXPECT_EQ(cli::answerCause({frame(" NDA ")}), Cause::NoData);
    EXPECT_EQ(cli::answerCause({frame(" 1 2 3 "), frame(" SCE ")}), Cause::Refused);
    EXPECT_EQ(cli::answerCause({frame(" SCO ")}), Cause::UnexpectedReply);
    EXPECT_EQ(cli::answerText({frame(" ALN ")}), "unexpected reply ALN from the station");
    std::string damaged = frame(" 1 2 3 ");
    damaged[2] = '7';
    EXPECT_EQ(cli::answerCause({damaged}), Cause::DamagedReply);
    EXPECT_EQ(cli::answerCause({"\x02 1 2 3 "}), Cause::DamagedReply);  // no "#"
}

}  // namespace
}  // namespace clitest
