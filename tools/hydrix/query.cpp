#include "query.h"

#include <cstdio>

#include "times.h"

namespace hydrix::cli {

Records runQuery(Host &host, const ChannelConfig &channel, const Query &query,
                 const Progress &progress) {
    return channel.engine == Engine::Telegram ? telegramQuery(host, channel, query, progress)
                                              : v6Query(host, channel, query, progress);
}

std::string itemName(const Query &query) {
    switch (query.what) {
    case What::Picture: return "picture " + std::to_string(query.picture);
    case What::Report: return "report";
    case What::Setpoints:
    case What::WriteSetpoint: return "setpoint";
    case What::Command: return "command";
    case What::History: return "history";
    case What::Alarms: return "alarm";
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

std::optional<Record> exchangeFailure(const Query &query, Engine engine, const Exchange &ex) {
    Record r = baseRecord(query, itemName(query));
    if (ex.noMessage) {
        r.errorText = "the host has no free message for the request";
    } else if (ex.interrupted) {
        r.errorText = "interrupted";
        r.interrupted = true;
    } else if (ex.timedOut) {
        r.errorText = "the driver gave no answer in time";
    } else if (ex.returned && ex.error.failed()) {
        r.error = ex.error;
        r.errorText = describeError(engine, ex.error);
        char spent[64];  // "no reply within 5 s" alone would hide 4 tries and 26 s
        std::snprintf(spent, sizeof spent, " (%d %s, %.1f s)", ex.tries, ex.tries == 1 ? "try" : "tries", ex.seconds);
        r.errorText += spent;
    } else {
        return std::nullopt;
    }
    return r;
}

std::string commandName(char letter) {
    switch (letter) {
    case 'M': return "start (M)";
    case 'F': return "stop (F)";
    case 'N': return "auto (N)";
    case 'B': return "block (B)";
    default: return std::string(1, letter);
    }
}

}  // namespace hydrix::cli
