// What a command asks of one node, and the two engines' ways of asking it. Each engine
// builds its own requests and turns what comes back into records; a failure becomes a
// record with its error (and the values delivered before it stay).
#pragma once
#include <functional>
#include <optional>
#include <string>

#include "config.h"
#include "exchange.h"
#include "frames.h"
#include "record.h"

namespace hydrix::cli {

enum class What { Picture, Report, Setpoints, WriteSetpoint, Command, History, Alarms };

struct Query {
    What what = What::Picture;
    Target target;
    int picture = 1;
    std::optional<int> first, count;   // range of values (pictures, report, setpoints)
    int setpoint = 0;                  // WriteSetpoint
    double value = 0;                  // WriteSetpoint
    std::string valueText;             // WriteSetpoint: the value as typed
    std::optional<char> setpointType;  // WriteSetpoint, v6: 'A', 'D' or '0'..'4'
    char letter = 'M';                 // Command: F, N, B or M
    int machine = 1;                   // Command: the number after P
    int item = 0;                      // Command: the number that ends the telegram
    OrvelTime from = 0;                // History
    // Alarms: called with each alarm as soon as the tool has it, before the query ends
    // (v6 engine: before the station is told to let go of it). False: the alarm could not
    // be kept; the v6 engine then leaves it at the station and ends the query (the
    // telegram engine's driver lets go of each alarm it delivers, whatever the answer).
    std::function<bool(const Record &)> onAlarm;
    // Alarms: the identity (alarmIdentity) of the alarm taken last from this station, by
    // an earlier query: the station shows it again when our acknowledgement did not reach
    // it, and it is then acknowledged again but not handed on twice.
    std::string lastAlarm;
};

// Progress of long reads (history): records so far and the time reached.
using Progress = std::function<void(long records, OrvelTime reached)>;

Records runQuery(Host &host, const ChannelConfig &channel, const Query &query, const Progress &progress);

// Engine parts.
Records telegramQuery(Host &host, const ChannelConfig &channel, const Query &query, const Progress &progress);
Records v6Query(Host &host, const ChannelConfig &channel, const Query &query, const Progress &progress);

// Shared helpers of the engine parts.
Record baseRecord(const Query &query, const std::string &item);
// A failed record of the query's item: the cause, and its words (causeText when `text` is
// empty).
Record failedRecord(const Query &query, Cause cause, const std::string &text = "");
std::string itemName(const Query &query);
// The record for an exchange that did not end well, or nothing when it ended well.
std::optional<Record> exchangeFailure(const Query &query, Engine engine, const Exchange &ex);
// The record for a request the driver ended without values and without a triple: what the
// station answered, from the line.
Record answerFailure(const Query &query, const Exchange &ex);
std::string commandName(char letter);
// What tells one alarm of a station from another: every field of the station's alarm line
// when the tool read it, else (the driver delivered it) its code, state and time.
std::string alarmIdentity(const Record &alarm);
// The value a setpoint write put on the line and, when the list was read back, what the
// setpoint now holds: the record to print, with notes when the station was sent something
// else than was typed (cut to the setpoint's decimals) or holds something else than it
// was sent. `decimals`: of the setpoint, -1 for a whole 16-bit number (v6 types A and D).
Record writtenSetpoint(const Query &query, const SetpointWriteSent &sent, int decimals, std::optional<double> readBack);

}  // namespace hydrix::cli
