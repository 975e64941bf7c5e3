#include "cause.h"

#include "frames.h"
#include "host/hydrix_host.h"

namespace hydrix::cli {

const char *causeKey(Cause cause) {
    switch (cause) {
    case Cause::None:
        return "none";
    case Cause::NoReply:
        return "no-reply";
    case Cause::DamagedReply:
        return "damaged-reply";
    case Cause::UnexpectedReply:
        return "unexpected-reply";
    case Cause::Refused:
        return "refused";
    case Cause::NoData:
        return "no-data";
    case Cause::BadContent:
        return "bad-content";
    case Cause::Port:
        return "port";
    case Cause::HostOutOfMessages:
        return "host-out-of-messages";
    case Cause::BadRequest:
        return "bad-request";
    case Cause::DriverSilent:
        return "driver-silent";
    case Cause::Interrupted:
        return "interrupted";
    case Cause::NotStored:
        return "not-stored";
    }
    return "unknown";
}

std::string causeText(Cause cause) {
    switch (cause) {
    case Cause::None:
        return "";
    case Cause::NoReply:
        return "no reply from the station";
    case Cause::DamagedReply:
        return "the reply was damaged on the line (block check or framing)";
    case Cause::UnexpectedReply:
        return "the station answered with another reply word";
    case Cause::Refused:
        return "station refused the telegram (SCE)";
    case Cause::NoData:
        return "no data (the station answered NDA)";
    case Cause::BadContent:
        return "the reply does not fit the request";
    case Cause::Port:
        return "the port failed";
    case Cause::HostOutOfMessages:
        return "the host has no free message for the request";
    case Cause::BadRequest:
        return "the driver cannot serve this request";
    case Cause::DriverSilent:
        return "the driver gave no answer in time";
    case Cause::Interrupted:
        return "interrupted";
    case Cause::NotStored:
        return "could not be stored: left at the station";
    }
    return "";
}

namespace {

Cause telegramCause(const ErrorTriple &e) {
    switch (e.code) {
    case ERR_TIMEOUT:
        return e.group == ERRGRP_LINE_END ? Cause::DamagedReply : Cause::NoReply;
    case ERR_BCC:
    case ERR_FRAMING:
        return Cause::DamagedReply;
    case ERR_NO_PORT_SEND:
    case ERR_NO_PORT_READ:
        return Cause::Port;
    case ERR_PICTURE_SHORT:
    case ERR_PICTURE_FIELDS:
    case ERR_REPORT_COUNT:
    case ERR_REPORT_SHORT:
    case ERR_SETPOINT_NUMBER:
    case ERR_HISTORY_FIELDS:
    case ERR_HISTORY_TIME:
    case ERR_ALARM_FIELDS:
        return Cause::BadContent;
    case ERR_UNKNOWN_READ:
    case ERR_UNKNOWN_WRITE:
    case ERR_SETPOINT_INDEX:
    case ERR_SETPOINT_TYPE:
    case ERR_MACHINE_COMMAND:
        return Cause::BadRequest;
    case ERR_NO_DATA:
        return Cause::NoData;
    case ERR_SCE:
        return Cause::Refused;
    case ERR_HISTORY_NO_MSG:
    case ERR_ALARM_NO_MSG:
        return Cause::HostOutOfMessages;
    default:
        return Cause::BadContent;
    }
}

Cause v6Cause(const ErrorTriple &e) {
    if (e.group == ERRGRP_OUT_OF_BUFFERS || e.group == ERRGRP_LINE_END) return Cause::Port;  // nothing went out
    if (e.group == ERRGRP_V6_RX_LINE) return Cause::DamagedReply;
    if (e.group == ERRGRP_LINE)
        return e.code == ERR_V6_RX_TIMEOUT ? Cause::NoReply
               : e.code == ERR_FRAMING     ? Cause::UnexpectedReply
                                           : Cause::DamagedReply;  // check, lead byte, line error, too short
    if (e.group == ERRGRP_CONTENT || e.group == ERRGRP_WRITE_PARAM) return telegramCause(e);
    return Cause::BadContent;
}

}  // namespace

Cause causeOf(Engine engine, const ErrorTriple &error) {
    if (!error.failed()) return Cause::None;
    if (error.group == ERRGRP_NO_PORT_READ || error.group == ERRGRP_NO_PORT_SEND) return Cause::Port;
    return engine == Engine::Telegram ? telegramCause(error) : v6Cause(error);
}

Cause answerCause(const std::vector<std::string> &received) {
    if (received.empty()) return Cause::NoReply;
    const std::string &last = received.back();
    if (last.find('#') == std::string::npos || !frameCheckMatches(last)) return Cause::DamagedReply;
    if (frameIs(last, "NDA")) return Cause::NoData;
    if (frameIs(last, "SCE")) return Cause::Refused;
    for (const char *word : {"SCO", "ALR", "ALN", "ACT", "OK"})
        if (frameIs(last, word)) return Cause::UnexpectedReply;
    return Cause::None;
}

std::string answerText(const std::vector<std::string> &received) {
    const Cause cause = answerCause(received);
    if (cause == Cause::DamagedReply)
        return received.back().find('#') == std::string::npos
                   ? "reply framing wrong (no STX, no CR LF or no \"#\")"
                   : "block check mismatch (the reply was damaged on the line)";
    if (cause == Cause::UnexpectedReply)
        return "unexpected reply " + frameWords(received.back()).front() + " from the station";
    if (cause == Cause::None) return "no values in the reply";
    return causeText(cause);
}

bool lineDown(Cause cause) { return cause == Cause::NoReply || cause == Cause::Port || cause == Cause::DriverSilent; }

}  // namespace hydrix::cli
