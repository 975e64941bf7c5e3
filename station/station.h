// The station simulator: one or more pump-station controllers at the far end of a
// serial line. It reads request telegrams from a descriptor (the master side of a
// pseudo-terminal, or a real serial device), answers them from a model of the plants,
// and records what it saw, so that both protocol engines of the driver can be run end
// to end. It is a test tool; nothing here is part of the driver.
//
// Wire conventions the simulator follows (both directions carry 8-bit text):
//   request  SOH " <plant> <command> <fields> #" " <check> " CR
//   reply    STX " <reply text> " "#" " <check>" CR LF           (telegram framing)
//            STX " <reply text> " "#" " <check> " CR [LF]        (v6 framing)
//   The check is the 16-bit sum of the bytes from the first blank up to, not including,
//   the "#", folded to 0..32768 (a sum of 32768 or more becomes 65536 minus the sum).
//   Telegram framing sums the bytes as signed 8-bit values and skips DC3 bytes; v6
//   framing sums them unsigned. For plain ASCII both agree.
//
// What a plant answers (the reply texts, without framing):
//   "<p> WGS P 0 ! <pic>"        picture: its header numbers, then its values, blank
//                                separated; "NDA" for a picture the plant lacks.
//                                The driver's telegram engine skips an eight-number
//                                header and counts values from 0; the v6 engine reads
//                                nine numbers (header plus value 0), takes header[3] as
//                                the split count N, and numbers the values from 1.
//   "<p> WGS P <i> F|N|B|M <pic>" machine command: recorded, answered like a picture read.
//                                With v6 framing the values go out rounded to whole
//                                numbers, which is all the v6 engine reads.
//   "<p> WGD <time> <date>"      daily report: all numbers of all rows, or "NDA". The v6
//                                engine reads rows of five numbers; the telegram engine
//                                counts the first number twice and wants a multiple of
//                                five, so for it the station leaves out number 0 (the
//                                engine's numbers 1 onward are then the report's own).
//   "<p> MCC 0 1"                setpoint list: "<n> <type> <value>" per setpoint; a text
//                                setpoint's value is the text between apostrophes. The
//                                type goes out as the engine knows it: A as I to the
//                                telegram engine, I and S as A to the v6 engine.
//   "<p> MCC <route> <yy mm dd hh mi ss> <n> <type|digit> <value>"
//                                setpoint write: "SCO", or "SCE" for a setpoint the plant
//                                does not have.
//   "<p> MAS 0 1"                alarm-limit list: "<ch> <type> <high> <low> <hyst> <dec>".
//   "<p> MAS <ch> <w1..w5>"      alarm-limit write: "SCO" ("SCE" for an unknown channel).
//   "<p> WGH <yy mm dd hh mi>"   history: up to Model::historyChunk records stamped after
//                                the given local time, each "<yy mm dd hh mi> <values> !";
//                                "NDA" when none is left. A record at midnight is stamped
//                                00:00 of the day before (midnight closes that day); with
//                                v6 framing it carries its own date, as the v6 engine
//                                reads stamps literally.
//   "<p> WCA 0 <y m d h mi>"     the plant's first alarm as "ALR <p> <code> <yy mm dd hh mi>
//                                <flag> <six more fields> [<ss>]", or "ALN" when none.
//   "<p> ALO"                    acknowledges (removes) the first alarm; no reply. Plant 0
//                                means the station on the line.
//   "<p> BRK"                    end of the exchange; no reply.
//   "OK"                         (v6) answered like WCA by the station on the line.
// A station that calls in sends "ACT <p>" (telegram framing) or "<pp>ACT" (v6 framing),
// or its first alarm line "ALR <p> ..."; v6 stations also send "<pp>MRC" behind an SOH.
// A request whose check is wrong, or that has no "#", is answered "SCE"; a command the
// plant does not know too. A request for a plant number that is not in the model is not
// answered at all (nobody on a shared line has that number), except number 0, which the
// station on the line (the last one addressed or that called in) takes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "station/pty.h"

namespace hydrix::station {

// ---- Model ---------------------------------------------------------------------------

// A numbered screen of station values.
struct Picture {
    std::vector<double> header;  // 8 numbers; header[3] is the v6 split count
    std::vector<double> values;  // value 0 first
};

// One entry of the setpoint list. `type` is '0'..'4' (decimals), 'A', 'D', 'I', 'S'
// (whole numbers) or 'T' (text of at most 16 characters, no apostrophe).
struct Setpoint {
    char type = '0';
    double value = 0;
    std::string text;
};

// One entry of the alarm-limit list (v6 MAS telegram); all values are 16-bit words.
struct AlarmLimit {
    int type = 0, high = 0, low = 0, hysteresis = 0, decimals = 0;
};

// A station-local date and time to the minute.
struct LocalTime {
    int year = 2026, month = 1, day = 1, hour = 0, minute = 0;
    auto operator<=>(const LocalTime &) const = default;
};

struct HistoryRecord {
    LocalTime time;  // the moment the record stands for (local)
    std::vector<double> values;
};

struct Alarm {
    int code = 0;
    LocalTime time;
    int second = -1;         // -1: the line carries 14 fields, else 15 with this second
    std::string flag = "A";  // eighth field; "A..." marks an active alarm
    std::vector<std::string> extra{"0", "0", "0", "0", "0", "0"};  // fields 9 to 14
};

struct Plant {
    int plantNumber = 1;
    std::map<int, Picture> pictures;              // by picture number 0..255
    std::vector<std::vector<double>> reportRows;  // daily report, usually 5 numbers a row
    std::map<int, Setpoint> setpoints;            // by setpoint number 1..127
    std::map<int, AlarmLimit> limits;             // by channel number
    std::vector<HistoryRecord> history;           // kept in time order
    std::deque<Alarm> alarms;                     // first = the one WCA reports
};

struct Model {
    std::vector<Plant> plants;
    int historyChunk = 4;  // records per WGH reply
    Plant *find(int plantNumber);
    const Plant *find(int plantNumber) const;
};

// Two plants (numbers 12 and 7) with pictures, a report of three rows, setpoints of every
// type, alarm limits, a day of hourly history ending at the last full hour, and two alarms
// each. One model serves both engines: the station answers each in the form it reads.
Model defaultModel();

// Reads a model from a JSON file (see examples/station-model.json). On failure returns
// nothing and puts "file: where: what" into *error.
std::optional<Model> loadModel(const std::string &path, std::string *error);
// The same from text; `name` stands for the file in error texts.
std::optional<Model> parseModel(const std::string &text, const std::string &name, std::string *error);

// ---- Faults and line settings ---------------------------------------------------------

struct Faults {
    // Line settings (kept when the faults run out, see `replies`).
    int baud = 0;            // 0: bytes go out as fast as possible; else paced at baud/10
                             // bytes per second, and a request is answered no earlier
                             // than its own bytes would have taken to arrive.
    bool v6Framing = false;  // v6 frames: blank after the check, LF optional, unsigned
                             // check sums; ACT and MRC carry the plant number first, two
                             // digits glued to the word ("07ACT"), where the v6 engine
                             // looks for them; history stamps midnight with its own date
    bool v6Lf = true;        // v6 framing: end frames with CR LF (false: CR alone)
    int burstMs = 0;         // with a baud: paced bytes reach the host in bursts this
                             // often, as a UART's receive FIFO or a USB adapter's
                             // latency timer hands them on; 0: byte by byte

    // Faults, applied to the replies that follow.
    int delayMs = 0;                // wait this long before replying
    bool silent = false;            // read requests but never answer
    int okRepliesBefore = 0;        // send this many "OK" replies before the real one
    bool dc3InReply = false;        // DC3 bytes before the lead byte, after it and mid-text
    bool garbageBeforeStx = false;  // junk bytes before the lead byte
    bool wrongBcc = false;          // the check is one too high
    std::string forceReply;         // answer this word ("NDA", "SCE", ...) to every request
                                    // that expects a reply
    int splitPauseMs = 0;           // send each reply in two halves with this pause between
    int frameGapMs = -1;            // quiet time between the frames of one answer ("OK"s, then
                                    // the reply); -1: none, but 2500 ms for v6 frames without
                                    // LF, which a v6 receiver only tells apart by a pause
                                    // longer than its 2-second read interval
    int replies = -1;               // the faults above apply to this many requests, then clear
                                    // themselves (-1: until changed)
    int dc3Storm = 0;               // this many DC3 bytes: half before the lead byte, the rest
                                    // spread through the frame
    std::string loseRequest;        // the next request with this word ("ALO", ...) is lost on
                                    // the way: read, but neither acted on nor answered (once)
};

// Faults drawn at random for each reply, each kind at its own rate (0 to 1; at most one
// kind per reply), from a seeded generator so that a run can be repeated. They come on
// top of the faults set with setFaults.
enum class FaultKind { WrongBcc, Silence, Junk, Dc3Storm, Split, Late, Count };
constexpr int kFaultKinds = static_cast<int>(FaultKind::Count);
const char *faultName(FaultKind kind);  // "bcc", "silence", "junk", "dc3", "split", "late"

struct FaultRates {
    double rate[kFaultKinds] = {};
    int lateMs = 6000;       // a late reply comes this long after its request
    int splitPauseMs = 400;  // pause between the halves of a split reply
    int dc3Count = 40;       // DC3 bytes in a storm
    uint64_t seed = 1;
    double &operator[](FaultKind k) { return rate[static_cast<int>(k)]; }
    double operator[](FaultKind k) const { return rate[static_cast<int>(k)]; }
};

// ---- What the simulator saw ------------------------------------------------------------

struct SetpointWrite {
    int plant = 0, number = 0;
    std::string type;   // as sent: a decimals digit or a type letter
    std::string value;  // as sent
};
struct MachineCommand {
    int plant = 0, machine = 0;  // machine: the number after P
    char letter = '!';
    int picture = 0;
};
struct LimitWrite {
    int plant = 0, channel = 0;
    AlarmLimit limit;
};
struct Counters {
    int requests = 0;   // complete request telegrams read
    int badChecks = 0;  // of those, with a wrong check or no "#"
    int ignored = 0;    // addressed to a plant the model does not have
    int alo = 0;        // alarm acknowledgements
    int brk = 0;        // BRK telegrams
    int ok = 0;         // "OK" telegrams from the driver
    int junkBytes = 0;  // bytes outside any request telegram
};

// The station's books: what it was asked, what it answered and what it injected, so a
// long run can be checked against what the driver delivered.
struct Book {
    int64_t requests = 0;              // request telegrams read
    int64_t replies = 0;               // requests that got an answer on the line (late ones too)
    int64_t faults[kFaultKinds] = {};  // random faults injected, by kind
    // Alarms, by code: how often an ALR that the driver could read (no wrong check, not
    // silenced) carried it, and the codes in the order ALO removed them.
    std::map<int, int> alarmsReported;
    std::vector<int> alarmsAcked;
    int aloEmpty = 0;            // ALO with no alarm left to remove
    int aloUnreported = 0;       // ALO that removed an alarm no readable ALR had carried
    int64_t historyRecords = 0;  // records sent in WGH replies (repeats included)
    int64_t historyNda = 0;      // WGH answered NDA
    int64_t pictures = 0;        // picture replies
    int64_t callIns = 0;         // call-in telegrams sent (ACT, ALR, OK)
};

// Bytes made readable: [SOH], [STX], [CR], [LF], [DC3], other control bytes as [xx].
std::string printable(const std::string &bytes);

// ---- The simulator ---------------------------------------------------------------------

class Simulator {
public:
    // Serves requests read from `fd` (made non-blocking). Closes fd on destruction only
    // when ownsFd is set.
    Simulator(int fd, Model model, bool ownsFd = false);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    void start();  // starts the serving thread
    void stop();   // stops and joins it; safe to call twice

    void setFaults(const Faults &faults);  // thread-safe; applies to the following replies
    Faults faults() const;
    void setFaultRates(const FaultRates &rates);  // random faults from now on (reseeds)
    Book book() const;

    // Keep the telegrams for receivedTelegrams/sentTelegrams (the default): the last
    // kKeptTelegrams of each direction, so that a station left running does not grow.
    // Programs that never look at them turn it off; the counters and the book are kept
    // either way.
    static constexpr size_t kKeptTelegrams = 4096;
    void setKeepTelegrams(bool keep);
    // Serves another descriptor from now on (a line that was gone and is back). The
    // model, faults and books stay. Stops the serving thread and starts it again if it
    // ran; the old descriptor is closed when the simulator owns it.
    void reattach(int fd);

    // Called for every telegram read (incoming = true) and written, with its bytes.
    using Trace = std::function<void(bool incoming, const std::string &bytes)>;
    void setTrace(Trace trace);  // thread-safe; the trace runs on the serving thread

    // Telegrams sent as a station that calls in would send them, in the current framing.
    // sendCallIn: "ALR" with the plant's first alarm when withAlarm is set and the plant
    // has one, else "ACT"; the plant becomes the station on the line.
    void sendCallIn(int plantNumber, bool withAlarm);
    void sendOk();                           // an "OK" telegram
    void sendMrc(int plantNumber);           // an unsolicited MRC frame (SOH lead)
    void sendRaw(const std::string &bytes);  // any bytes, paced like replies

    // What it saw.
    std::vector<std::string> receivedTelegrams() const;  // raw, SOH to CR; the last ones kept
    std::vector<std::string> sentTelegrams() const;      // raw, as written; the last ones kept
    // Waits until at least `count` request telegrams have been read in all; false on
    // time-out.
    bool waitForTelegrams(size_t count, int timeoutMs) const;
    Counters counters() const;
    int aloCount() const { return counters().alo; }
    std::vector<SetpointWrite> setpointWrites() const;
    std::vector<MachineCommand> machineCommands() const;
    std::vector<LimitWrite> limitWrites() const;

    Model model() const;  // the current state (alarms left, written setpoints)
    void setModel(Model model);
    void editModel(const std::function<void(Model &)> &edit);

private:
    struct Reply {
        char lead;
        std::string text;
    };
    void run();
    void handleRequest(const std::string &raw, std::chrono::steady_clock::time_point firstByte);
    std::vector<Reply> answer(const std::string &raw, bool v6);
    // One command to a plant, and each command's own answer (all under mutex_).
    using Args = std::vector<std::string>;
    std::vector<Reply> answerCommand(Plant &p, const std::string &cmd, const Args &args, bool v6);
    Reply pictureCommand(Plant &p, const Args &args, bool v6);
    Reply setpointCommand(Plant &p, const Args &args, bool v6);
    Reply limitCommand(Plant &p, const Args &args);
    Reply historyCommand(const Plant &p, const Args &args, bool v6);
    void acknowledgeAlarm(Plant &p);
    std::string frame(const Reply &reply, const Faults &f) const;
    void writeFrames(const std::vector<Reply> &replies, const Faults &f);
    void writePaced(const std::string &bytes, int baud, int burstMs);
    bool pause(int ms);  // false when stopping
    int activePlant() const;
    FaultKind drawFault();                                                    // under mutex_; Count when none
    void noteReplies(const std::vector<Reply> &replies, const Faults &f);     // under mutex_
    void keep(std::deque<std::string> &telegrams, const std::string &bytes);  // under mutex_

    int fd_;
    bool ownsFd_;
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable changed_;
    Model model_;
    Faults faults_;
    Trace trace_;
    Counters counters_;
    std::deque<std::string> received_, sent_;  // at most kKeptTelegrams each
    size_t receivedCount_ = 0;                 // request telegrams read in all
    std::vector<SetpointWrite> setpointWrites_;
    std::vector<MachineCommand> machineCommands_;
    std::vector<LimitWrite> limitWrites_;
    int onLine_ = -1;  // plant number of the station on the line
    FaultRates rates_;
    uint64_t rng_ = 1;
    Book book_;
    bool keepTelegrams_ = true;

    std::mutex writeMutex_;  // one frame at a time on the line
};

}  // namespace hydrix::station
