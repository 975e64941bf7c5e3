#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>

#include "common/wait.h"
#include "line.h"

namespace hydrix::station {
namespace {

using test::Line;

std::string dropDc3(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), wire::DC3), s.end());
    return s;
}

// The check a receiver computes over a reply frame (lead byte at `lead`) against the
// number after its "#".
bool replyCheckHolds(const std::string &frame, size_t lead, bool v6) {
    const size_t hash = frame.find('#', lead);
    if (hash == std::string::npos) return false;
    return wire::checksum(frame.substr(lead + 1), v6) == std::atoi(frame.c_str() + hash + 1);
}

// Faults as `set` arranges them.
Faults faults(const std::function<void(Faults &)> &set) {
    Faults f;
    set(f);
    return f;
}

Model exampleModel() {
    std::string error;
    auto m = loadModel(std::string(HYDRIX_SOURCE_DIR) + "/examples/station-model.json", &error);
    EXPECT_TRUE(m) << error;
    return m ? *m : Model{};
}

TEST(StationWire, ChecksumsFoldTheByteSum) {
    EXPECT_EQ(wire::checksum(" 12 WGS P 0 ! 3 #", false), 776);
    EXPECT_EQ(wire::checksum(" OK #", false), 218);
    EXPECT_EQ(wire::checksum(" 12 BRK #", false), 418);
    EXPECT_EQ(wire::checksum("# 12", false), 0);
    EXPECT_EQ(wire::checksum(" \xE5\xE5#", false), 22);  // signed bytes
    EXPECT_EQ(wire::checksum(std::string(300, '\x80'), false), 27136);
    EXPECT_EQ(wire::checksum(" O\x13K #", false), 218);  // DC3 skipped
    EXPECT_EQ(wire::checksum("abc", true), 294);
    EXPECT_EQ(wire::checksum(std::string(160, '\xFA'), true), 25536);  // 40000 folded
    EXPECT_EQ(wire::buildRequest("OK", true), std::string("\x01 OK # 218 \r"));
    EXPECT_EQ(wire::buildFrame(wire::STX, "OK", false, true), std::string("\x02 OK # 218\r\n"));
}

TEST(StationWire, RequestParsingKeepsQuotedTextAndChecksTheSum) {
    auto r = wire::parseRequest(wire::buildRequest("12 MCC 4 26 12 05 10 00 00 2 T 'My name'", true), true);
    EXPECT_TRUE(r.ok());
    ASSERT_EQ(r.words.size(), 12u);
    EXPECT_EQ(r.words.back(), "'My name'");
    // The v6 alarm request has no blank before "#".
    r = wire::parseRequest(
        "\x01 12 WCA 0 26 12 5 10 7# " + std::to_string(wire::checksum(" 12 WCA 0 26 12 5 10 7", true)) + " \r", true);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.words.back(), "7");
    EXPECT_FALSE(wire::parseRequest("\x01 12 WGD # 437 \r", false).ok());
    EXPECT_FALSE(wire::parseRequest("\x01 12 WGD 436 \r", false).ok());
}

TEST(StationLine, AnswersPicturesAndRefusesBadTelegrams) {
    Line line(exampleModel());
    line.request("12 WGS P 0 ! 3");
    const std::string frame = line.read(1, 2000);
    EXPECT_EQ(frame, wire::buildFrame(wire::STX, "3 0 0 4 0 0 0 0 30 31 32 33 34 35 36 37", false, true));
    EXPECT_TRUE(replyCheckHolds(frame, 0, false));
    EXPECT_EQ(line.ask("12 WGS P 0 ! 9"), "NDA");
    EXPECT_EQ(line.ask("7 WGS P 0 ! 1"), "0 0 0 0 0 0 0 0 70 71 72");

    // Junk before the SOH is passed over; a wrong check or a missing "#" is answered SCE.
    line.send("zz\n");
    line.send("\x01 12 WGS P 0 ! 3 # 777 \r");
    EXPECT_EQ(Line::replyText(line.read(1, 2000)), "SCE");
    line.send("\x01 12 WGD 436 \r");
    EXPECT_EQ(Line::replyText(line.read(1, 2000)), "SCE");
    // Nobody on the line has plant 99: no answer at all.
    line.request("99 WGD 26 12 05 10 00 26 12 04");
    EXPECT_EQ(line.read(1, 300), "");
    const Counters c = line.sim().counters();
    EXPECT_EQ(c.requests, 6);
    EXPECT_EQ(c.badChecks, 2);
    EXPECT_EQ(c.ignored, 1);
    EXPECT_EQ(c.junkBytes, 3);
    EXPECT_EQ(line.sim().receivedTelegrams().front(), wire::buildRequest("12 WGS P 0 ! 3", false));
}

TEST(StationLine, AlarmsLeaveTheQueueOnlyWhenAcknowledged) {
    Line line(exampleModel());
    const std::string first = line.ask("12 WCA 0 26 12 5 10 0");
    EXPECT_EQ(first, "ALR 12 17 26 12 04 01 15 A 0 0 0 0 0 0 30");
    EXPECT_EQ(wire::splitWords(first).size(), 16u);  // the word ALR and 15 fields
    EXPECT_EQ(line.ask("12 WCA 0 26 12 5 10 0"), first);
    line.request("12 ALO");
    EXPECT_EQ(line.ask("12 WCA 0 26 12 5 10 0"), "ALR 12 18 26 12 04 01 20 N 1 0 0 0 0 0");
    line.request("0 ALO");  // the station on the line takes plant 0
    EXPECT_EQ(line.ask("12 WCA 0 26 12 5 10 0"), "ALN");
    EXPECT_EQ(line.sim().aloCount(), 2);
    EXPECT_TRUE(line.sim().model().find(12)->alarms.empty());

    // A calling station announces itself with the alarm line WCA would give, or ACT.
    line.sim().editModel([](Model &m) { m.find(7)->alarms.push_back(Alarm{5, {2026, 1, 2, 3, 4}}); });
    line.sim().sendCallIn(7, true);
    EXPECT_EQ(Line::replyText(line.read(1, 2000)), "ALR 7 5 26 01 02 03 04 A 0 0 0 0 0 0");
    line.sim().sendCallIn(12, true);
    EXPECT_EQ(Line::replyText(line.read(1, 2000)), "ACT 12");
}

TEST(StationLine, HistoryComesInChunksUntilNda) {
    // Records 22:00, 23:00, 00:00, 01:00, 02:00 around the night of 3 December; three
    // records a reply.
    Line line(exampleModel());
    EXPECT_EQ(line.ask("12 WGH 01 01 01 00 00"),
              "26 12 03 22 00 1 2 3 ! 26 12 03 23 00 4 5 6 ! 26 12 03 00 00 7 8 9 !");
    // The midnight record closes 3 December; the next request starts after it.
    EXPECT_EQ(line.ask("12 WGH 26 12 04 00 00"), "26 12 04 01 00 10 11 12 ! 26 12 04 02 00 13 14 15 !");
    EXPECT_EQ(line.ask("12 WGH 26 12 04 02 00"), "NDA");
    EXPECT_EQ(line.sim().book().historyRecords, 5);
    EXPECT_EQ(line.sim().book().historyNda, 1);

    // With v6 framing midnight carries its own date.
    line.sim().setFaults(faults([](Faults &f) { f.v6Framing = true; }));
    line.request("12 WGH 26 12 03 23 00", true);
    EXPECT_EQ(Line::replyText(line.read(1, 2000)),
              "26 12 04 00 00 7 8 9 ! 26 12 04 01 00 10 11 12 ! 26 12 04 02 00 13 14 15 !");
}

TEST(StationLine, SetpointWritesChangeTheList) {
    Line line(exampleModel());
    EXPECT_EQ(line.ask("12 MCC 0 1"), "1 0 12 2 1 3.5 3 2 1.25 4 I 17 5 D 1 6 T 'Inlet_pump'");
    EXPECT_EQ(line.ask("12 MCC 12 26 12 05 10 00 00 2 1 7.5"), "SCO");
    EXPECT_EQ(line.ask("12 MCC 26 12 05 10 00 00 6 T 'My_Station_name'"), "SCO");  // empty route
    EXPECT_EQ(line.ask("12 MCC 12 26 12 05 10 00 00 50 0 1"), "SCE");
    EXPECT_EQ(line.ask("12 MCC 0 1"), "1 0 12 2 1 7.5 3 2 1.25 4 I 17 5 D 1 6 T 'My_Station_name'");
    const auto writes = line.sim().setpointWrites();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].number, 2);
    EXPECT_EQ(writes[0].value, "7.5");
    EXPECT_EQ(writes[2].number, 50);

    EXPECT_EQ(line.ask("12 WGS P 3 B 1"), "1 0 0 0 0 0 0 0 0 1.5 2.25 3 4.75 5");
    ASSERT_EQ(line.sim().machineCommands().size(), 1u);
    EXPECT_EQ(line.sim().machineCommands()[0].letter, 'B');
    EXPECT_EQ(line.sim().machineCommands()[0].machine, 3);
    EXPECT_EQ(line.ask("12 WGS P 3 B 9"), "NDA");
    EXPECT_EQ(line.ask("12 WGS P 3 X 1"), "SCE");
}

TEST(StationFaults, OkRepliesDc3GarbageAndWrongChecksThenClear) {
    Line line(exampleModel(), faults([](Faults &f) {
                  f.okRepliesBefore = 2, f.dc3InReply = f.garbageBeforeStx = true, f.replies = 1;
              }));
    line.request("7 WGS P 0 ! 1");
    const std::string got = line.read(3, 2000);
    std::vector<std::string> frames;
    for (size_t start = 0, end; (end = got.find('\n', start)) != std::string::npos; start = end + 1)
        frames.push_back(got.substr(start, end + 1 - start));
    ASSERT_EQ(frames.size(), 3u) << printable(got);
    for (const auto &fr : frames) {
        EXPECT_EQ(std::count(fr.begin(), fr.end(), wire::DC3), 3) << printable(fr);
        EXPECT_GT(fr.find(wire::STX), 0u);  // junk and a DC3 come first
        const std::string clean = dropDc3(fr);
        EXPECT_TRUE(replyCheckHolds(clean, clean.find(wire::STX), false)) << printable(fr);
    }
    EXPECT_EQ(Line::replyText(dropDc3(frames[0])), "OK");
    EXPECT_EQ(Line::replyText(dropDc3(frames[2])), "0 0 0 0 0 0 0 0 70 71 72");

    // The faults ran out after one reply.
    line.request("7 WGS P 0 ! 1");
    EXPECT_EQ(line.read(1, 2000), wire::buildFrame(wire::STX, "0 0 0 0 0 0 0 0 70 71 72", false, true));

    line.sim().setFaults(faults([](Faults &f) { f.wrongBcc = true; }));
    line.request("7 WGS P 0 ! 1");
    EXPECT_FALSE(replyCheckHolds(line.read(1, 2000), 0, false));
    line.sim().setFaults(faults([](Faults &f) { f.forceReply = "NDA"; }));
    EXPECT_EQ(line.ask("12 MCC 0 1"), "NDA");
    line.request("12 BRK");  // no reply is due, so none is forced
    EXPECT_EQ(line.read(1, 300), "");
    EXPECT_EQ(line.sim().counters().brk, 1);
}

TEST(StationFaults, PacingHonoursTheBaudRate) {
    Model m = exampleModel();
    m.find(7)->pictures[2].values.assign(60, 1234.5);
    Line line(m, faults([](Faults &f) { f.baud = 9600; }));
    const std::string req = wire::buildRequest("7 WGS P 0 ! 2", false);
    const auto t0 = std::chrono::steady_clock::now();
    line.send(req);
    const std::string frame = line.read(1, 3000);
    const double ms = msSince(t0);
    const double expected = (req.size() + frame.size()) * 10 * 1000.0 / 9600;
    ASSERT_GT(frame.size(), 300u);
    EXPECT_GT(ms, expected * 0.9);
    EXPECT_LT(ms, expected + 1000);

    line.sim().setFaults(Faults{});
    const auto t1 = std::chrono::steady_clock::now();
    line.send(req);
    EXPECT_EQ(line.read(1, 3000), frame);
    const double fast = msSince(t1);
    EXPECT_LT(fast, expected / 2);
}

TEST(StationFaults, DelaySplitSilenceAndStopDoNotHang) {
    Line line(exampleModel(), faults([](Faults &f) { f.delayMs = 300, f.splitPauseMs = 600, f.replies = 1; }));
    auto t0 = std::chrono::steady_clock::now();
    line.request("7 WGS P 0 ! 1");
    const std::string firstHalf = line.read(1, 600);
    EXPECT_GT(msSince(t0), 280);
    EXPECT_FALSE(firstHalf.empty());
    EXPECT_EQ(firstHalf.find('\n'), std::string::npos);  // the rest is held back
    EXPECT_EQ(firstHalf + line.read(1, 1000), wire::buildFrame(wire::STX, "0 0 0 0 0 0 0 0 70 71 72", false, true));

    line.sim().setFaults(faults([](Faults &f) { f.silent = true; }));
    line.request("7 WGS P 0 ! 1");
    EXPECT_TRUE(line.sim().waitForTelegrams(2, 1000));
    EXPECT_EQ(line.read(1, 300), "");

    // A stop in the middle of a long delay comes back at once.
    line.sim().setFaults(faults([](Faults &f) { f.delayMs = 60000; }));
    line.request("7 WGS P 0 ! 1");
    EXPECT_TRUE(line.sim().waitForTelegrams(3, 1000));
    t0 = std::chrono::steady_clock::now();
    line.sim().stop();
    EXPECT_LT(msSince(t0), 1000);
}

TEST(StationLine, AssemblesRequestsFromPiecesAndSurvivesRunawayLines) {
    Line line(exampleModel());
    std::vector<std::pair<bool, std::string>> seen;
    std::mutex seenMutex;
    line.sim().stop();  // the trace is set while the simulator is idle
    line.sim().setTrace([&](bool in, const std::string &bytes) {
        std::lock_guard lock(seenMutex);
        seen.emplace_back(in, bytes);
    });
    line.sim().start();

    // A request that trickles in byte by byte is answered once, when its CR arrives.
    const std::string req = wire::buildRequest("7 WGS P 0 ! 1", false);
    for (char c : req) {
        line.send(std::string(1, c));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const std::string reply = line.read(1, 2000);
    EXPECT_EQ(Line::replyText(reply), "0 0 0 0 0 0 0 0 70 71 72");
    // A new SOH drops the unfinished request before it.
    line.send("\x01 7 WG" + req);
    EXPECT_EQ(line.read(1, 2000), reply);
    // 5000 bytes without a CR are junk; the next request is served as usual.
    line.send("\x01" + std::string(5000, 'x'));
    EXPECT_EQ(line.ask("7 WGS P 0 ! 1"), "0 0 0 0 0 0 0 0 70 71 72");
    const Counters c = line.sim().counters();
    EXPECT_EQ(c.requests, 3);
    EXPECT_GE(c.junkBytes, 5000 + 6);
    std::lock_guard lock(seenMutex);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0], std::make_pair(true, req));
    EXPECT_EQ(seen[1], std::make_pair(false, reply));
    EXPECT_EQ(line.sim().sentTelegrams().size(), 3u);
}

// The driver reopens its port, then the station is moved to a new line: it serves on,
// and its books run on.
TEST(StationLine, ServesAgainAfterAReopenAndOnANewLine) {
    Line line(exampleModel());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round == 1) line.reopen();
        if (round == 2) line.reattach();
        EXPECT_EQ(line.ask("7 WGS P 0 ! 1"), "0 0 0 0 0 0 0 0 70 71 72");
    }
    EXPECT_EQ(line.sim().book().requests, 3);
    EXPECT_EQ(line.sim().book().pictures, 3);
}

// A station left running keeps only the last telegrams, or none when told so; it counts
// every one either way.
TEST(StationLine, KeepsABoundedTailOfTheTelegrams) {
    for (const bool keep : {true, false}) {
        SCOPED_TRACE(keep ? "kept" : "not kept");
        Line line(exampleModel());
        line.sim().setKeepTelegrams(keep);
        // Plant 99 is on nobody's books: the station reads these and answers none.
        const size_t count = Simulator::kKeptTelegrams + 10;
        std::string burst;
        for (size_t i = 0; i < count; ++i)
            burst += wire::buildRequest("99 WGS P 0 ! " + std::to_string(i % 256), false);
        line.send(burst);
        ASSERT_TRUE(line.sim().waitForTelegrams(count, 10000));
        const auto received = line.sim().receivedTelegrams();
        EXPECT_EQ(line.sim().counters().requests, static_cast<int>(count));
        if (keep) {
            ASSERT_EQ(received.size(), Simulator::kKeptTelegrams);
            EXPECT_EQ(received.back(), wire::buildRequest("99 WGS P 0 ! " + std::to_string((count - 1) % 256), false));
            EXPECT_EQ(received.front(), wire::buildRequest("99 WGS P 0 ! 10", false));
        } else {
            EXPECT_TRUE(received.empty());
        }
    }
}

TEST(StationFaults, V6FramingCallsInAndAnswersOk) {
    const Faults f = faults([](Faults &v) { v.v6Framing = true, v.v6Lf = false; });
    Line line(exampleModel(), f);
    line.sim().sendCallIn(7, false);
    EXPECT_EQ(line.read(1, 2000, true), wire::buildFrame(wire::STX, "07ACT", true, false));
    line.sim().sendMrc(7);
    EXPECT_EQ(line.read(1, 2000, true), wire::buildFrame(wire::SOH, "07MRC", true, false));

    // "OK" from the driver: the station on the line answers with its first alarm.
    line.sim().sendCallIn(12, false);
    line.read(1, 2000, true);
    line.send(std::string("\x01\x20\x4F\x4B\x20\x23\x20\x32\x31\x38\x20\x0D", 12));
    const std::string alr = line.read(1, 2000, true);
    EXPECT_EQ(alr.substr(0, 8), "\x02 ALR 12");
    EXPECT_EQ(alr.back(), '\r');
    EXPECT_TRUE(replyCheckHolds(alr, 0, true));
    // Frames of one answer are kept apart by the quiet gap asked for.
    Faults gap = f;
    gap.okRepliesBefore = 1;
    gap.frameGapMs = 250;
    gap.replies = 1;
    line.sim().setFaults(gap);
    line.request("12 MAS 0 1", true);
    EXPECT_EQ(Line::replyText(line.read(1, 2000, true)), "OK");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Line::replyText(line.read(1, 2000, true)), "1 1 100 10 5 1 2 2 250 20 10 2");
    const double gapMs = msSince(t0);
    EXPECT_GT(gapMs, 200);

    line.request("0 ALO", true);
    line.request("12 MAS 2 1 300 30 6 1", true);
    EXPECT_EQ(Line::replyText(line.read(1, 2000, true)), "SCO");
    EXPECT_EQ(line.sim().model().find(12)->alarms.size(), 1u);
    EXPECT_EQ(line.sim().model().find(12)->limits.at(2).high, 300);
}

TEST(StationModel, LoadsTheExampleAndExplainsBadFiles) {
    const Model m = exampleModel();
    ASSERT_EQ(m.plants.size(), 2u);
    EXPECT_EQ(m.historyChunk, 3);
    EXPECT_EQ(m.find(12)->setpoints.at(6).text, "Inlet_pump");

    std::string error;
    EXPECT_FALSE(parseModel(R"({"plants":[{"plant":1,"history":[{"time":"2026-02-31 10:00","values":[1]}]}]})",
                            "m.json", &error));
    EXPECT_NE(error.find("plants[0].history[0].time"), std::string::npos) << error;
    EXPECT_FALSE(parseModel("{\"plants\":[\n{\"plant\":1,}]}", "m.json", &error));
    EXPECT_NE(error.find("m.json: "), std::string::npos);
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_FALSE(loadModel("/nonexistent/model.json", &error));
    EXPECT_EQ(error, "/nonexistent/model.json: cannot be read");

    // Besides the file's own form, what both engines must be able to read is checked
    // when the model is loaded.
    const std::vector<std::pair<std::string, std::string>> bad = {
        {R"({"plants":[{"plant":1,"setpoints":[{"number":1,"type":"X"}]}]})",
         R"(plants[0].setpoints[0].type: must be one of "0" to "4", "A", "D", "I", "S", "T")"},
        {R"({"plants":[{"plant":1},{"plant":1}]})", "plants[1]: plant 1 is given twice"},
        {R"({"plant":[]})", R"(model: unknown key "plant")"},
        {R"({"plants":[{"plant":1,"report":[[1,2,3,4]]}]})", "plants[0].report[0]: a row has 5 numbers"},
        {R"({"plants":[{"plant":1,"report":[[1,2,3,4,5.5]]}]})",
         "plants[0].report[0]: report numbers are whole numbers from -2147483647 to 2147483647"},
        {R"({"plants":[{"plant":1,"pictures":[{"number":1,"header":[1,2,3]}]}]})",
         "plants[0].pictures[0].header: must have 8 numbers"},
        {R"({"plants":[{"plant":1,"setpoints":[{"number":1,"type":"T","text":"two words"}]}]})",
         R"(plants[0].setpoints[0].text: must have at most 16 characters, without blanks, apostrophes or "#")"},
        {R"({"plants":[{"plant":1,"setpoints":[{"number":1,"type":"A","value":70000}]}]})",
         "plants[0].setpoints[0].value: type A takes whole numbers from 0 to 65535"},
        {R"({"plants":[{"plant":1,"setpoints":[{"number":1,"type":"I","value":1.5}]}]})",
         "plants[0].setpoints[0].value: type I takes whole numbers from 0 to 65535"},
    };
    for (const auto &[text, why] : bad) {
        EXPECT_FALSE(parseModel(text, "m.json", &error)) << text;
        EXPECT_EQ(error, "m.json: " + why);
    }
    std::string rows = "[1,2,3,4,5]";
    for (int i = 0; i < 25; ++i) rows += ",[1,2,3,4,5]";
    EXPECT_FALSE(parseModel(R"({"plants":[{"plant":1,"report":[)" + rows + "]}]}", "m.json", &error));
    EXPECT_EQ(error, "m.json: plants[0].report: must have at most 25 rows");
}

// Numbers as the engine reading `text` takes them: blank-separated, parsed like atof.
std::vector<double> numbersOf(const std::string &text) {
    std::vector<double> out;
    for (const std::string &w : wire::splitWords(text)) out.push_back(std::atof(w.c_str()));
    return out;
}

// Every model, asked by either engine, answers in the form that engine reads: a report the
// telegram engine can take (it reads the first number twice and wants rows of five; its
// values 1 on are the report's), whole picture and report numbers for the v6 engine, and
// only the setpoint letters each engine's list parser knows.
TEST(StationModel, EachEngineGetsTheFormItReads) {
    struct Source {
        const char *name;
        Model model;
    };
    const std::vector<Source> sources = {{"built-in", defaultModel()}, {"example", exampleModel()}};
    for (const Source &src : sources) {
        for (const bool v6 : {false, true}) {
            SCOPED_TRACE(std::string(src.name) + (v6 ? " v6" : " telegram"));
            Line line(src.model, faults([&](Faults &f) { f.v6Framing = v6; }));
            for (const Plant &p : src.model.plants) {
                const std::string n = std::to_string(p.plantNumber);
                auto ask = [&](const std::string &text) {
                    line.request(n + " " + text, v6);
                    return Line::replyText(line.read(1, 2000));
                };
                std::vector<double> report;
                for (const auto &row : p.reportRows) report.insert(report.end(), row.begin(), row.end());
                const std::string reportReply = ask("WGD 26 12 05 10 00 26 12 04");
                if (report.empty()) {
                    EXPECT_EQ(reportReply, "NDA");
                } else {
                    std::vector<double> list = numbersOf(reportReply);
                    if (!v6)  // the telegram engine's list
                        list.insert(list.begin(), list.front());
                    ASSERT_EQ(list.size(), report.size()) << reportReply;
                    for (size_t i = v6 ? 0 : 1; i < report.size(); ++i) EXPECT_EQ(list[i], report[i]) << i;
                }
                for (const auto &[number, pic] : p.pictures) {
                    const std::vector<double> got = numbersOf(ask("WGS P 0 ! " + std::to_string(number)));
                    ASSERT_EQ(got.size(), 8 + pic.values.size());
                    for (size_t i = 0; i < pic.values.size(); ++i)
                        EXPECT_EQ(got[8 + i], v6 ? std::round(pic.values[i]) : pic.values[i]) << number;
                }
                if (p.setpoints.empty()) continue;
                const std::vector<std::string> words = wire::splitWords(ask("MCC 0 1"));
                ASSERT_EQ(words.size(), 3 * p.setpoints.size());
                for (size_t i = 0; i < words.size(); i += 3) {
                    const char letter = words[i + 1].at(0);
                    EXPECT_NE(std::string(v6 ? "01234ADT" : "01234DIST").find(letter), std::string::npos)
                        << "setpoint " << words[i] << " goes out as " << letter;
                    const Setpoint &s = p.setpoints.at(std::stoi(words[i]));
                    if (s.type == 'T')
                        EXPECT_EQ(words[i + 2], "'" + s.text + "'");
                    else
                        EXPECT_DOUBLE_EQ(std::atof(words[i + 2].c_str()), s.value) << words[i];
                }
            }
        }
    }
}

// Which of `count` picture replies came with a wrong check, under the given rates.
std::string badCheckPattern(uint64_t seed, double rate, int count, Book *book = nullptr) {
    Line line(exampleModel());
    line.sim().setKeepTelegrams(false);
    FaultRates rates;
    rates[FaultKind::WrongBcc] = rate;
    rates.seed = seed;
    line.sim().setFaultRates(rates);
    std::string pattern;
    for (int i = 0; i < count; ++i) {
        line.request("7 WGS P 0 ! 1");
        pattern += replyCheckHolds(line.read(1, 2000), 0, false) ? '.' : 'x';
    }
    if (book) *book = line.sim().book();
    EXPECT_TRUE(line.sim().receivedTelegrams().empty());  // not kept, but counted
    EXPECT_EQ(line.sim().counters().requests, count);
    return pattern;
}

TEST(StationRandomFaults, RatesAreSeededAndBooked) {
    Book book;
    const std::string a = badCheckPattern(1, 0.5, 48, &book);
    EXPECT_EQ(badCheckPattern(1, 0.5, 48), a);  // the same seed, the same run
    EXPECT_EQ(book.requests, 48);
    EXPECT_EQ(book.replies, 48);
    EXPECT_EQ(book.faults[static_cast<int>(FaultKind::WrongBcc)], std::count(a.begin(), a.end(), 'x'));
    EXPECT_GT(book.faults[static_cast<int>(FaultKind::WrongBcc)], 8);
    EXPECT_LT(book.faults[static_cast<int>(FaultKind::WrongBcc)], 40);
    // Neighbouring seeds (one per channel) must not play the same faults one reply apart.
    const std::string b = badCheckPattern(2, 0.5, 48);
    EXPECT_NE(b, a);
    EXPECT_NE(b.substr(0, 47), a.substr(1));
    EXPECT_NE(a.substr(0, 47), b.substr(1));
    EXPECT_EQ(badCheckPattern(3, 0.0, 10), "..........");
    EXPECT_EQ(badCheckPattern(3, 1.0, 10), "xxxxxxxxxx");
}

TEST(StationRandomFaults, EachKindShowsOnTheLine) {
    struct Case {
        FaultKind kind;
        std::function<void(Line &, const std::string &)> check;
    };
    const std::string plain = wire::buildFrame(wire::STX, "0 0 0 0 0 0 0 0 70 71 72", false, true);
    const std::vector<Case> cases = {
        {FaultKind::Junk,
         [&](Line &, const std::string &got) {
             EXPECT_GT(got.find(wire::STX), 0u);
             EXPECT_EQ(got.substr(got.find(wire::STX)), plain);
         }},
        {FaultKind::Dc3Storm,
         [&](Line &, const std::string &got) {
             EXPECT_EQ(std::count(got.begin(), got.end(), wire::DC3), 10) << printable(got);
             EXPECT_EQ(got.substr(0, 5), std::string(5, wire::DC3));
             EXPECT_EQ(dropDc3(got), plain);
         }},
        {FaultKind::Split, [&](Line &, const std::string &got) { EXPECT_EQ(got, plain); }},
        {FaultKind::Silence,
         [&](Line &l, const std::string &got) {
             EXPECT_EQ(got, "");
             EXPECT_EQ(l.sim().book().replies, 0);
         }},
        {FaultKind::Late, [&](Line &, const std::string &got) { EXPECT_EQ(got, ""); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(faultName(c.kind));
        Line line(exampleModel());
        FaultRates rates;
        rates[c.kind] = 1.0;
        rates.dc3Count = 10;
        rates.splitPauseMs = 300;
        rates.lateMs = 1500;
        line.sim().setFaultRates(rates);
        line.request("7 WGS P 0 ! 1");
        // A split reply has only its first half on the line within the pause; a late one
        // nothing.
        if (c.kind == FaultKind::Split) {
            const std::string half = line.read(1, 150);
            EXPECT_EQ(half, plain.substr(0, plain.size() / 2));
            c.check(line, half + line.read(1, 2000));
        } else if (c.kind == FaultKind::Late) {
            c.check(line, line.read(1, 1000));
            EXPECT_EQ(line.read(1, 2000), plain);
        } else {
            c.check(line, line.read(1, c.kind == FaultKind::Silence ? 300 : 2000));
        }
        EXPECT_EQ(line.sim().book().faults[static_cast<int>(c.kind)], 1);
    }
}

TEST(StationRandomFaults, AlarmBooksTellReportedFromAcknowledged) {
    Line line(exampleModel());
    // An ALR with a wrong check reports nothing; acknowledging that alarm is booked as
    // acknowledged without a report.
    FaultRates rates;
    rates[FaultKind::WrongBcc] = 1.0;
    line.sim().setFaultRates(rates);
    line.request("12 WCA 0 26 12 5 10 0");
    EXPECT_FALSE(replyCheckHolds(line.read(1, 2000), 0, false));
    line.request("12 ALO");
    line.sim().setFaultRates(FaultRates{});
    EXPECT_EQ(line.ask("12 WCA 0 26 12 5 10 0"), "ALR 12 18 26 12 04 01 20 N 1 0 0 0 0 0");
    line.request("12 ALO");
    line.request("12 ALO");  // nothing left
    EXPECT_EQ(line.ask("12 WCA 0 26 12 5 10 0"), "ALN");
    const Book book = line.sim().book();
    EXPECT_EQ(book.alarmsAcked, (std::vector<int>{17, 18}));
    EXPECT_EQ(book.alarmsReported.count(17), 0u);
    EXPECT_EQ(book.alarmsReported.at(18), 1);
    EXPECT_EQ(book.aloUnreported, 1);
    EXPECT_EQ(book.aloEmpty, 1);
}

}  // namespace
}  // namespace hydrix::station
