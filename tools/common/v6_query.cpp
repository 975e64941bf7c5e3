// Requests of the v6 engine: request code in bits 0-15 of the address (bits 16-23 end a
// WGS telegram). A served v6 request is not returned: its reply reaches the host as one
// message per value or row, and the request goes back to the pool. Replies that carry no
// values (SCE, NDA, the alarm lines) the tool reads from the line itself: the runtime's
// line tap hands it every telegram whole.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "query.h"
#include "times.h"

namespace hydrix::cli {
namespace {

// Whether the station answered this word to any telegram of the request.
bool answered(const Exchange &ex, const char *word) {
    return std::any_of(ex.received.begin(), ex.received.end(), [&](const std::string &f) { return frameIs(f, word); });
}

// A request the engine ended without values: what the station answered, from the line.
Record noValues(const Query &q, const Exchange &ex) {
    if (answered(ex, "NDA")) return failedRecord(q, Cause::NoData);
    if (answered(ex, "SCE")) return failedRecord(q, Cause::Refused);
    if (ex.received.empty()) return failedRecord(q, Cause::NoReply);
    return failedRecord(q, Cause::BadContent, "no values in the reply");
}

Record problem(const Query &q, const std::string &why) { return failedRecord(q, Cause::BadContent, why); }

Exchange request(Host &host, const ChannelConfig &c, const Query &q, uint32_t address, uint32_t index,
                 uint32_t direction, const std::function<void(HostMsg *)> &area, const OnMessage &onMessage) {
    return runRequest(host, c, Engine::V6, q.target.node,
                      {address, index, direction, 2, (address & 0xFFFF) == V6_WGH_HISTORY}, area, onMessage);
}

int32_t int32At(const HostMsg &m, int k) {
    int32_t v = 0;
    std::memcpy(&v, static_cast<const unsigned char *>(m.data) + 4 * k, sizeof v);
    return v;
}

bool inRange(const Query &q, long long index, int defaultFirst) {
    const long long first = q.first.value_or(defaultFirst);
    if (index < first) return false;
    return !q.count || index < first + *q.count;
}

// One setpoint of the list as the v6 engine delivers it; `code` is its write code.
struct V6Setpoint {
    uint32_t code = 0;
    Record record;
};

std::optional<V6Setpoint> setpointRecord(const Query &q, const HostMsg &m) {
    if (m.direction != DIR_READ || m.address > V6_MCC_WRITE_LAST) return std::nullopt;
    V6Setpoint s;
    s.code = m.address;
    s.record = baseRecord(q, "setpoint");
    const auto *bytes = static_cast<const unsigned char *>(m.data);
    if (m.address == 2) {  // text, as words with their two bytes exchanged
        s.record.index = m.index / 10;
        std::string text;
        for (int k = 0; k + 1 < 2 * m.length && k + 1 < 64; k += 2) {
            text += static_cast<char>(bytes[k + 1]);
            text += static_cast<char>(bytes[k]);
        }
        text.resize(std::strlen(text.c_str()));
        s.record.value = text;
    } else if (m.address <= 1) {
        uint16_t w = 0;
        std::memcpy(&w, bytes, sizeof w);
        s.record.index = m.index / 2;
        s.record.value = static_cast<long long>(w);
    } else {
        float f = 0;
        std::memcpy(&f, bytes, sizeof f);
        s.record.index = m.index / 2;
        s.record.value = static_cast<double>(f);
    }
    return s;
}

// The engine splits a picture at a count the station sends in its header: values before
// it arrive as item 9 numbered from 1, the rest as item 11 numbered afresh. With no values
// before the split (the usual case) all of them are simply the picture's.
Records picture(Host &host, const ChannelConfig &c, const Query &q) {
    Records out;
    bool split = false;
    auto onMessage = [&](const HostMsg &m) {
        const uint32_t code = m.address & 0xFFFF;
        if (m.direction != DIR_READ || (code != 9 && code != 11)) return;
        split = split || code == 9;
        Record r = baseRecord(q, itemName(q) + (code == 11 && split ? ", part 2" : ""));
        r.index = m.index / 2;
        r.value = static_cast<long long>(int32At(m, 0));
        if (inRange(q, *r.index, 1)) out.push_back(r);  // the engine numbers picture values from 1
    };
    Exchange ex = request(host, c, q, V6_ADDRESS(V6_WGS_PICTURE, q.picture), 0, DIR_READ, {}, onMessage);
    if (auto f = exchangeFailure(q, Engine::V6, ex))
        out.push_back(*f);
    else if (out.empty())
        out.push_back(noValues(q, ex));
    return out;
}

Records report(Host &host, const ChannelConfig &c, const Query &q) {
    Records out;
    auto onMessage = [&](const HostMsg &m) {
        if (m.direction != DIR_READ || m.address != 18) return;
        for (int k = 0; k < 5; ++k) {
            Record r = baseRecord(q, "report");
            r.index = static_cast<long long>(m.index / 20) * 5 + k;
            r.value = static_cast<long long>(int32At(m, k));
            if (inRange(q, *r.index, 0)) out.push_back(r);
        }
    };
    Exchange ex = request(host, c, q, V6_ADDRESS(V6_WGD_REPORT, 0), 0, DIR_READ, {}, onMessage);
    if (auto f = exchangeFailure(q, Engine::V6, ex))
        out.push_back(*f);
    else if (out.empty())
        out.push_back(noValues(q, ex));
    return out;
}

// The setpoints as the engine delivered them; `listed`, when given, receives the list as
// it came over the line (empty when none came).
std::vector<V6Setpoint> setpointList(Host &host, const ChannelConfig &c, const Query &q, std::optional<Record> *failure,
                                     std::vector<ListedSetpoint> *listed = nullptr) {
    std::vector<V6Setpoint> list;
    auto onMessage = [&](const HostMsg &m) {
        if (auto s = setpointRecord(q, m)) list.push_back(*s);
    };
    Exchange ex = request(host, c, q, V6_ADDRESS(V6_MCC_READ, 0), 0, DIR_READ, {}, onMessage);
    *failure = exchangeFailure(q, Engine::V6, ex);
    if (listed) *listed = lastSetpointList(ex.received).value_or(std::vector<ListedSetpoint>{});
    if (!*failure && list.empty() && (!listed || listed->empty())) *failure = noValues(q, ex);
    return list;
}

// The engine reads types 0 to 4, A, D and T; at any other letter it stops reading the list.
// A setpoint the station listed but the engine did not deliver says why instead of showing
// nothing at all.
Records setpoints(Host &host, const ChannelConfig &c, const Query &q) {
    std::optional<Record> failure;
    std::vector<ListedSetpoint> listed;
    const std::vector<V6Setpoint> delivered = setpointList(host, c, q, &failure, &listed);
    Records out;
    for (const V6Setpoint &s : delivered)
        if (inRange(q, *s.record.index, 1)) out.push_back(s.record);
    const ListedSetpoint *stop = nullptr;
    for (const ListedSetpoint &s : listed) {
        const bool known = std::string_view("01234ADT").find(s.type) != std::string_view::npos;
        if (!known && !stop) stop = &s;
        const bool got = std::any_of(delivered.begin(), delivered.end(),
                                     [&](const V6Setpoint &d) { return *d.record.index == s.number; });
        if (got || failure || !inRange(q, s.number, 1)) continue;
        Record r = baseRecord(q, "setpoint");
        r.index = s.number;
        const std::string name = "setpoint " + std::to_string(s.number);
        if (!known)
            r.notes.push_back(name + " (type " + std::string(1, s.type) +
                              "): the v6 engine delivers no value for this type");
        else if (stop)
            r.notes.push_back(name + ": not delivered (the v6 engine stops reading the list at setpoint " +
                              std::to_string(stop->number) + ", type " + std::string(1, stop->type) + ")");
        else
            r.notes.push_back(name + ": the station lists it, the v6 engine delivered no value");
        out.push_back(r);
    }
    std::stable_sort(out.begin(), out.end(), [](const Record &a, const Record &b) { return *a.index < *b.index; });
    if (failure) out.push_back(*failure);
    return out;
}

std::optional<uint32_t> writeCode(char type) {
    if (type == 'A') return 0;
    if (type == 'D') return 1;
    if (type >= '0' && type <= '4') return static_cast<uint32_t>(3 + (type - '0'));
    return std::nullopt;
}

Records writeSetpoint(Host &host, const ChannelConfig &c, const Query &q) {
    uint32_t code = 0;
    if (q.setpointType) {
        auto known = writeCode(*q.setpointType);
        if (!known) return {failedRecord(q, Cause::BadRequest, "setpoint type must be A, D or a digit 0 to 4")};
        code = *known;
    } else {  // the station's list tells the setpoint's type
        std::optional<Record> failure;
        const auto list = setpointList(host, c, q, &failure);
        if (failure) return {*failure};
        const V6Setpoint *found = nullptr;
        for (const V6Setpoint &s : list)
            if (*s.record.index == q.setpoint) found = &s;
        if (!found)
            return {failedRecord(q, Cause::BadRequest,
                                 "setpoint " + std::to_string(q.setpoint) + " is not in the station's list")};
        if (found->code == 2)
            return {failedRecord(q, Cause::BadRequest,
                                 "setpoint " + std::to_string(q.setpoint) + " is a text; texts cannot be written")};
        code = found->code;
    }
    if (code <= 1 && (q.value < 0 || q.value > 65535))  // one 16-bit word: no sign, no more
        return {failedRecord(q, Cause::BadRequest,
                             "setpoint " + std::to_string(q.setpoint) + " takes whole numbers from 0 to 65535")};
    std::optional<double> readBack;
    auto onMessage = [&](const HostMsg &m) {
        if (auto s = setpointRecord(q, m); s && *s->record.index == q.setpoint) {
            if (const auto *d = std::get_if<double>(&s->record.value)) readBack = *d;
            if (const auto *i = std::get_if<long long>(&s->record.value)) readBack = static_cast<double>(*i);
        }
    };
    auto area = [&](HostMsg *m) {
        if (code <= 1) {
            const uint16_t w = static_cast<uint16_t>(static_cast<long>(q.value));
            std::memcpy(m->data, &w, sizeof w);
            m->length = 1;
        } else {
            const float f = static_cast<float>(q.value);
            std::memcpy(m->data, &f, sizeof f);
        }
    };
    Exchange ex =
        request(host, c, q, V6_ADDRESS(code, 0), 2u * static_cast<uint32_t>(q.setpoint), DIR_WRITE, area, onMessage);
    if (auto f = exchangeFailure(q, Engine::V6, ex)) return {*f};
    if (answered(ex, "SCE")) return {failedRecord(q, Cause::Refused)};
    if (!readBack && !answered(ex, "SCO")) return {noValues(q, ex)};
    // What went out, from the line: the engine cuts the value to the type's decimals.
    const auto sent = lastSetpointWrite(ex.sent);
    if (!sent) return {problem(q, "the write telegram was not seen on the line")};
    const int decimals = code <= 1 ? -1 : static_cast<int>(code) - 3;
    Record r = writtenSetpoint(q, *sent, decimals, readBack);  // the list, read again after the write
    return {r};
}

Records command(Host &host, const ChannelConfig &c, const Query &q) {
    uint16_t word = 8;  // M
    if (q.letter == 'F') word = 1;
    if (q.letter == 'B') word = 2;
    if (q.letter == 'N') word = 4;
    Exchange ex = request(host, c, q, V6_ADDRESS(V6_MACHINE, q.item), 2u * static_cast<uint32_t>(q.machine), DIR_WRITE,
                          [&](HostMsg *m) { std::memcpy(m->data, &word, sizeof word); }, {});
    if (auto f = exchangeFailure(q, Engine::V6, ex)) return {*f};
    const auto &frames = ex.received;
    if (frames.empty() || answered(ex, "SCE") || frameIs(frames.back(), "NDA")) return {noValues(q, ex)};
    Record r = baseRecord(q, "command");
    r.index = q.machine;
    r.value = commandName(q.letter);
    return {r};
}

Records history(Host &host, const ChannelConfig &c, const Query &q, const Progress &progress) {
    Records out;
    long records = 0;
    OrvelTime last = 0;
    auto onMessage = [&](const HostMsg &m) {
        if ((m.address & 0xFFFF) != 8) return;
        if (m.direction == DIR_READ_TIME) {
            if (progress && m.timeStamp != 0) progress(records, m.timeStamp);
            return;
        }
        if (m.timeStamp != last) ++records;
        last = m.timeStamp;
        Record r = baseRecord(q, "history");
        r.index = static_cast<long long>(m.index / 2) - 1;
        r.value = static_cast<long long>(int32At(m, 0));
        r.time = m.timeStamp;
        out.push_back(r);
    };
    Exchange ex = request(
        host, c, q, V6_ADDRESS(V6_WGH_HISTORY, 0), 0, DIR_READ,
        [&](HostMsg *m) { std::memcpy(m->data, &q.from, sizeof q.from); }, onMessage);
    if (auto f = exchangeFailure(q, Engine::V6, ex)) out.push_back(*f);
    return out;
}

// An alarm as the station's ALR line tells it, whole: code, time to the second, state.
Record alarmRecord(const Query &q, const AlarmLine &a) {
    Record r = baseRecord(q, "alarm");
    r.index = a.code;
    r.time = a.time.value_or(0);
    r.value = std::string(a.active ? "active" : "cleared");
    r.alarmLine = a.words;
    if (!a.time) r.notes.push_back("alarm " + std::to_string(a.code) + ": the station's time is unreadable");
    return r;
}

// The last alarm answer of an exchange that the station sent intact: an ALR line, or ALN
// (no alarm left); neither when none came.
struct AlarmAnswer {
    bool came = false;
    bool none = false;  // ALN
    AlarmLine alarm;
};
AlarmAnswer lastAlarmAnswer(const Exchange &ex) {
    for (auto it = ex.received.rbegin(); it != ex.received.rend(); ++it) {
        if (!frameCheckMatches(*it)) continue;  // the engine dropped it too
        if (frameIs(*it, "ALN")) return {true, true, {}};
        if (frameIs(*it, "ALR")) {
            if (auto a = parseAlarmLine(*it)) return {true, false, *a};
        }
    }
    return {};
}

// WCA asks for the first alarm; ALO acknowledges it, after which the engine asks again by
// itself. So: WCA once, then ALO while the station still answers with an alarm.
// Each alarm is handed on before its ALO goes out: the station forgets it on the ALO,
// and the answer that follows (the next alarm) may be lost on the line, or the program
// stopped in between. An ALO that did not reach the station makes it show the same alarm
// again: that one is acknowledged again, not handed on twice.
Records alarms(Host &host, const ChannelConfig &c, const Query &q) {
    Records out;
    std::string last = q.lastAlarm;
    Exchange ex = request(host, c, q, V6_ADDRESS(V6_WCA_ALARMS, 0), 0, DIR_WRITE, {}, {});
    for (int rounds = 0; rounds < 10000; ++rounds) {
        if (auto f = exchangeFailure(q, Engine::V6, ex)) {
            out.push_back(*f);
            break;
        }
        const AlarmAnswer answer = lastAlarmAnswer(ex);
        if (!answer.came) {
            out.push_back(answered(ex, "SCE") ? failedRecord(q, Cause::Refused)
                                              : failedRecord(q, Cause::NoReply, "no alarm answer from the station"));
            break;
        }
        if (answer.none) break;  // ALN: no alarm left
        const Record alarm = alarmRecord(q, answer.alarm);
        if (alarmIdentity(alarm) != last) {
            if (q.onAlarm && !q.onAlarm(alarm)) {
                // Not kept: no ALO, so the station holds it for the next fetch.
                out.push_back(failedRecord(
                    q, Cause::NotStored,
                    "alarm " + std::to_string(alarm.index.value_or(0)) + " could not be stored: left at the station"));
                break;
            }
            last = alarmIdentity(alarm);
            out.push_back(alarm);
        }
        ex = request(host, c, q, V6_ADDRESS(V6_ALO_ACK, 0), 0, DIR_WRITE, {}, {});
    }
    return out;
}

}  // namespace

Records v6Query(Host &host, const ChannelConfig &c, const Query &q, const Progress &progress) {
    switch (q.what) {
    case What::Picture:
        return picture(host, c, q);
    case What::Report:
        return report(host, c, q);
    case What::Setpoints:
        return setpoints(host, c, q);
    case What::WriteSetpoint:
        return writeSetpoint(host, c, q);
    case What::Command:
        return command(host, c, q);
    case What::History:
        return history(host, c, q, progress);
    case What::Alarms:
        return alarms(host, c, q);
    }
    return {};
}

}  // namespace hydrix::cli
