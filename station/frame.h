// Telegram bytes as the station sees them: check sums, reply frames, request parsing.
// Pure functions on byte strings, so they can be tested without a line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "station/station.h"

namespace hydrix::station::wire {

constexpr char SOH = 0x01, STX = 0x02, LF = 0x0A, CR = 0x0D, DC3 = 0x13;

// The check of `text` from its first byte up to, not including, the first "#" (or the
// whole text when it has none), folded to 0..32768. Telegram framing sums bytes as
// signed values and skips DC3; v6 framing sums them unsigned.
int checksum(std::string_view text, bool v6);

// A complete reply frame: lead byte, blank, text, blank, "#", blank, the check (plus
// `checkDelta`, for wrong checks on purpose), and the line end of the framing.
std::string buildFrame(char lead, std::string_view text, bool v6, bool lf, int checkDelta = 0);

// A request telegram as read: SOH up to and including its CR.
struct Request {
    std::string body;                // after the SOH, up to the "#"
    std::vector<std::string> words;  // the body's blank-separated words; a word that
                                     // opens with an apostrophe runs to the closing one
    bool hasHash = false;
    int received = -1;  // the check after "#", -1 when it has no digits
    int computed = 0;
    bool ok() const { return hasHash && received == computed; }
};
Request parseRequest(std::string_view raw, bool v6);
std::vector<std::string> splitWords(std::string_view text);

// A request telegram as the driver builds it (SOH, " text #", " check ", CR); for tests
// and for the command line.
std::string buildRequest(std::string_view text, bool v6);

// Numbers on the wire: whole values without a point, others with up to 7 significant
// digits.
std::string number(double value);
// A setpoint's value field by its type letter.
std::string setpointValue(const Setpoint &setpoint);

// The plant's first alarm as an "ALR" reply text, or "ALN" when it has none.
std::string alarmReply(const Plant &plant);

// Date arithmetic on station-local times (calendar only, no time zone).
LocalTime addDays(const LocalTime &time, int days);
bool validDate(const LocalTime &time);

}  // namespace hydrix::station::wire
