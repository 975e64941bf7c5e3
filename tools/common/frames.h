// Telegrams as they went over a channel's line, assembled from the bytes the runtime's
// line tap sees (both engines frame them alike: a lead byte, SOH or STX, the text, "#",
// a decimal check, CR and, from some stations, LF), and the few of them the tool reads
// itself: v6 alarm lines and setpoint write telegrams. Every byte is the line's: nothing
// here trusts a length, a number or the end of a text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/hydrix_host.h"

namespace hydrix::cli {

// Turns a stream of bytes into frames: from a lead byte up to (not including) the CR.
// DC3 bytes are dropped wherever they stand, bytes outside a frame are passed over, a lead
// byte inside a frame starts it afresh, and a frame longer than a station ever sends is
// dropped.
class FrameAssembler {
public:
    static constexpr size_t kLongest = 4096;
    void add(const uint8_t *bytes, size_t count, std::vector<std::string> *frames);

private:
    std::string frame_;
    bool inFrame_ = false;
};

// The blank-separated words of a frame's text, from after the lead byte up to the word
// that begins with "#" (not included).
std::vector<std::string> frameWords(const std::string &frame);
// Whether a frame's reply word (the first word) is `word`.
bool frameIs(const std::string &frame, const std::string &word);
// Whether a frame's check (the number after "#") matches its text, alike on both engines:
// the sum of the bytes from the blank after the lead byte up to the byte before "#",
// modulo 65536, folded to 65536 minus it from 32768 on.
bool frameCheckMatches(const std::string &frame);

// A v6 alarm line: "ALR <station> <code> <yy> <mm> <dd> <hh> <mi> <flag>", six more
// fields and, from some stations, the second.
struct AlarmLine {
    long long code = 0;
    std::optional<OrvelTime> time;  // the station's local time, as UTC; none if unreadable
    bool active = false;            // the flag begins with "A"
    size_t fields = 0;              // after "ALR": 14, or 15 with the second
    std::string words;              // every field after "ALR", one blank between them
};
std::optional<AlarmLine> parseAlarmLine(const std::string &frame);

// A setpoint write telegram as sent: "<station> MCC ... <setpoint> <kind> <value> #",
// where kind is the decimals digit (telegram engine) or the type letter (v6 engine).
struct SetpointWriteSent {
    long setpoint = 0;
    std::string kind;
    std::string value;
};
// The last setpoint write among the frames sent (the list request "MCC 0 1" is none).
std::optional<SetpointWriteSent> lastSetpointWrite(const std::vector<std::string> &sent);

// One entry of a station's setpoint list ("MCC 0 1" reply), read as the telegram engine
// reads it: number, type field (its first character is the letter), value field; a text
// (type T) is one opening character, up to 16 characters ended by an apostrophe, one
// closing character. For lists whose texts have no blanks (all a v6 engine can read) the
// v6 engine reads the same entries.
struct ListedSetpoint {
    long number = 0;
    char type = 0;
    std::string text;  // type T only
};
// The entries of the last setpoint list among the frames received; nothing when none of
// them is a list (an NDA, SCE or alarm answer, or no answer at all).
std::optional<std::vector<ListedSetpoint>> lastSetpointList(const std::vector<std::string> &received);

}  // namespace hydrix::cli
