// Why a request failed, as a value. It is set where the failure is known: from the
// driver's error triple, or, where the triple alone cannot tell, from the telegrams the
// line tap captured. Nothing reads it back from text: the words for people are made from
// it here, and the gateway decides a line's state, its MQTT status and its Modbus
// exceptions from it.
#pragma once
#include <string>
#include <vector>

#include "errors.h"

namespace hydrix::cli {

enum class Cause {
    None,               // not a failure
    NoReply,            // the station did not answer in time
    DamagedReply,       // an answer came damaged: block check, framing, cut short
    UnexpectedReply,    // the station answered with another reply word
    Refused,            // the station refused the telegram (SCE)
    NoData,             // the station has no data (NDA)
    BadContent,         // the answer does not fit the request (too few values, bad fields)
    Port,               // the port failed, the channel has none, or nothing could be sent
    HostOutOfMessages,  // the host's message pool ran dry
    BadRequest,         // the request cannot be served (unknown kind, setpoint or command)
    DriverSilent,       // the driver gave no answer within the tool's guard time
    Interrupted,        // Ctrl-C or SIGTERM ended the request
    NotStored,          // the gateway could not store what it fetched (left at the station)
};

// A short fixed name: "no-reply", "damaged-reply", ... for JSON, MQTT and metrics.
const char *causeKey(Cause cause);
// The words for people: "no reply from the station", ...
std::string causeText(Cause cause);

// The cause of a failure the driver gave this triple for.
Cause causeOf(Engine engine, const ErrorTriple &error);

// The cause the last answer among these received telegrams stands for: NoReply when
// none came, DamagedReply for one whose check or framing is wrong, NoData for NDA,
// Refused for SCE, UnexpectedReply for another reply word; None for an answer with data.
Cause answerCause(const std::vector<std::string> &received);

// The words for the last answer among these received telegrams: which reply word came,
// or whether its check or its framing was wrong.
std::string answerText(const std::vector<std::string> &received);

// The station did not answer or its line is down (as opposed to a station that answered
// something unwelcome): the line counts as offline.
bool lineDown(Cause cause);

}  // namespace hydrix::cli
