#include "errors.h"

#include "host/hydrix_host.h"
#include "runtime/runtime.h"

namespace hydrix::cli {
namespace {

std::string telegramError(const ErrorTriple &e) {
    const std::string sub = std::to_string(e.sub);
    switch (e.code) {
    case ERR_TIMEOUT:
        return e.group == ERRGRP_LINE_END ? "reply started but did not end within 5 s" : "no reply within 5 s";
    case ERR_BCC:
        return "block check mismatch (the reply was damaged on the line)";
    case ERR_FRAMING:
        return "reply framing wrong (no STX, no CR LF or no \"#\")";
    case ERR_NO_PORT_SEND:
        return "cannot send: the channel has no open port";
    case ERR_NO_PORT_READ:
        return "cannot read: the channel has no open port";
    case ERR_PICTURE_SHORT:
        return "picture " + sub + " has fewer values than asked for";
    case ERR_PICTURE_FIELDS:
        return "picture " + sub + " reply has fewer than 9 numbers";
    case ERR_UNKNOWN_READ:
        return "the driver has no read of request kind " + sub;
    case ERR_UNKNOWN_WRITE:
        return "the driver has no write of request kind " + sub;
    case ERR_REPORT_COUNT:
        return "report reply is malformed (" + sub + " numbers, not rows of 5)";
    case ERR_REPORT_SHORT:
        return "report has fewer values than asked for";
    case ERR_NO_DATA:
        return "no data (the station answered NDA)";
    case ERR_SCE:
        return "station refused the telegram (SCE)";
    case ERR_SETPOINT_NUMBER:
        return "station listed setpoint number " + sub + " (outside 1 to 127)";
    case ERR_SETPOINT_INDEX:
        return "setpoint " + sub + " is out of range (1 to 127)";
    case ERR_SETPOINT_TYPE:
        return "setpoint " + sub + " cannot be written (not in the station's list, or a text)";
    case ERR_HISTORY_FIELDS:
        return "history record with only " + sub + " fields";
    case ERR_HISTORY_TIME:
        return "history record with an impossible date";
    case ERR_HISTORY_NO_MSG:
    case ERR_ALARM_NO_MSG:
        return "the host ran out of messages";
    case ERR_ALARM_FIELDS:
        return "alarm line with " + sub + " fields (14 or 15 expected)";
    case ERR_MACHINE_COMMAND:
        return "unknown machine command code " + sub;
    default:
        break;
    }
    return "error " + std::to_string(e.group) + "/" + std::to_string(e.code);
}

std::string v6Error(const ErrorTriple &e) {
    if (e.group == ERRGRP_OUT_OF_BUFFERS && e.code == ERR_V6_NO_TX_BUFFER) return "the channel has no free line buffer";
    if (e.group == ERRGRP_LINE_END && e.code == ERR_V6_TX_TIMEOUT) return "the telegram could not be sent within 10 s";
    if (e.group == ERRGRP_LINE_END) return "sending failed (error " + std::to_string(e.code) + ")";
    if (e.group == ERRGRP_V6_RX_LINE) return "line error (parity, framing or overrun)";
    if (e.group == ERRGRP_LINE) {
        switch (e.code) {
        case ERR_V6_RX_TIMEOUT:
            return "no reply within 10 s";
        case ERR_V6_RX_CHECKSUM:
            return "block check mismatch (the reply was damaged on the line)";
        case ERR_V6_RX_NO_LEAD:
            return "reply without a lead byte (STX or SOH)";
        case ERR_V6_RX_LINE:
            return "line error (parity, framing or overrun)";
        case 0:
            return "reply too short or without a lead byte";
        case ERR_FRAMING:
            return "reply not the answer awaited (another reply word, or too long)";
        default:
            return "bad reply (error " + std::to_string(e.code) + ")";
        }
    }
    // Refusals and missing data carry the same triples as on the telegram engine.
    if (e.group == ERRGRP_CONTENT) return telegramError(e);
    return "error " + std::to_string(e.group) + "/" + std::to_string(e.code);
}

}  // namespace

std::string describeError(Engine engine, const ErrorTriple &e) {
    // The port's own failures read alike on both engines: the system error says it.
    if ((e.group == ERRGRP_NO_PORT_READ || e.group == ERRGRP_NO_PORT_SEND) && e.code < 4096)
        return std::string(e.group == ERRGRP_NO_PORT_READ ? "reading" : "writing") +
               " the port failed: " + hydrix::rt::systemErrorText(e.code);
    return engine == Engine::Telegram ? telegramError(e) : v6Error(e);
}

}  // namespace hydrix::cli
