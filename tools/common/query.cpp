#include "query.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "times.h"

namespace hydrix::cli {

Records runQuery(Host &host, const ChannelConfig &channel, const Query &query, const Progress &progress) {
    return channel.engine == Engine::Telegram ? telegramQuery(host, channel, query, progress)
                                              : v6Query(host, channel, query, progress);
}

std::string itemName(const Query &query) {
    switch (query.what) {
    case What::Picture:
        return "picture " + std::to_string(query.picture);
    case What::Report:
        return "report";
    case What::Setpoints:
    case What::WriteSetpoint:
        return "setpoint";
    case What::Command:
        return "command";
    case What::History:
        return "history";
    case What::Alarms:
        return "alarm";
    }
    return "";
}

Record baseRecord(const Query &query, const std::string &item) {
    Record r;
    r.channel = query.target.channel;
    r.node = query.target.node;
    r.item = item;
    r.time = orvelNow();
    return r;
}

Record failedRecord(const Query &query, Cause cause, const std::string &text) {
    Record r = baseRecord(query, itemName(query));
    r.cause = cause;
    r.errorText = text.empty() ? causeText(cause) : text;
    return r;
}

Record answerFailure(const Query &query, const Exchange &ex) {
    const Cause cause = answerCause(ex.received);
    return failedRecord(query, cause == Cause::None ? Cause::BadContent : cause, answerText(ex.received));
}

std::optional<Record> exchangeFailure(const Query &query, Engine engine, const Exchange &ex) {
    if (ex.noMessage) return failedRecord(query, Cause::HostOutOfMessages);
    if (ex.interrupted) {
        Record r = failedRecord(query, Cause::Interrupted);
        r.interrupted = true;
        return r;
    }
    if (ex.timedOut) return failedRecord(query, Cause::DriverSilent);
    if (!ex.returned || !ex.error.failed()) return std::nullopt;
    char spent[64];  // "no reply within 5 s" alone would hide 4 tries and 26 s
    std::snprintf(spent, sizeof spent, " (%d %s, %.1f s)", ex.tries, ex.tries == 1 ? "try" : "tries", ex.seconds);
    Cause cause = causeOf(engine, ex.error);
    // A framing code stands for a damaged reply and for another reply word alike: the
    // telegrams on the line tell which.
    if (ex.error.group == ERRGRP_LINE && ex.error.code == ERR_FRAMING) {
        const Cause answer = answerCause(ex.received);
        if (answer == Cause::UnexpectedReply || answer == Cause::DamagedReply) cause = answer;
    }
    Record r = failedRecord(query, cause, describeError(engine, ex.error) + spent);
    r.error = ex.error;
    return r;
}

namespace {

std::string shortNumber(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

}  // namespace

Record writtenSetpoint(const Query &q, const SetpointWriteSent &sent, int decimals, std::optional<double> readBack) {
    Record r = baseRecord(q, "setpoint");
    r.index = q.setpoint;
    char *end = nullptr;
    const double sentValue = std::strtod(sent.value.c_str(), &end);
    const bool sentNumber = !sent.value.empty() && *end == '\0' && std::isfinite(sentValue);
    // The engine delivers a setpoint as a 32-bit float (3.1 as 3.0999999): shown to the
    // setpoint's decimals, it is the number the station holds.
    const auto shown = [&](double v) {
        if (decimals < 0) return v;
        char buf[512];
        std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
        return std::strtod(buf, nullptr);
    };
    if (readBack)
        r.value = shown(*readBack);
    else if (sentNumber)
        r.value = sentValue;
    else
        r.value = sent.value;
    const std::string name = "setpoint " + std::to_string(q.setpoint);
    if (sentNumber && sentValue != q.value) {
        const std::string typed = q.valueText.empty() ? shortNumber(q.value) : q.valueText;
        const std::string holds = decimals < 0    ? " takes whole numbers from 0 to 65535"
                                  : decimals == 0 ? " takes whole numbers"
                                  : decimals == 1 ? " has 1 decimal"
                                                  : " has " + std::to_string(decimals) + " decimals";
        r.notes.push_back(typed + " was written as " + sent.value + ": " + name + holds);
    }
    if (readBack && sentNumber && shown(*readBack) != sentValue)
        r.notes.push_back(name + " now holds " + shortNumber(shown(*readBack)) + ", not the " + sent.value +
                          " written");
    return r;
}

std::string commandName(char letter) {
    switch (letter) {
    case 'M':
        return "start (M)";
    case 'F':
        return "stop (F)";
    case 'N':
        return "auto (N)";
    case 'B':
        return "block (B)";
    default:
        return std::string(1, letter);
    }
}

std::string alarmIdentity(const Record &alarm) {
    // Two alarms of one code in one minute may differ only in the fields after the time.
    if (!alarm.alarmLine.empty()) return "ALR " + alarm.alarmLine;
    const std::string *state = std::get_if<std::string>(&alarm.value);
    return std::to_string(alarm.index.value_or(-1)) + " " + (state ? *state : std::string()) + " " +
           std::to_string(alarm.time);
}

}  // namespace hydrix::cli
