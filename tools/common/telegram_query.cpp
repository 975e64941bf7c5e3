// Requests of the telegram engine: request kind in bits 8-15 of the address, item number
// in bits 0-7, value numbers and counts in 16-bit words (a value is two). Pictures,
// reports, setpoints, writes and commands come back as the request itself; history and
// alarm reads arrive as messages of their own until the station has no more.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "inputs.h"
#include "output.h"
#include "query.h"
#include "times.h"

namespace hydrix::cli {
namespace {

constexpr int kMaxValues = kMaxValuesPerRead;

// A request the driver failed with its triple; one it ended without values and without a
// triple is told by what the station answered (answerFailure).
std::optional<Record> failure(const Query &q, const Exchange &ex) { return exchangeFailure(q, Engine::Telegram, ex); }

Record noValues(const Query &q, const std::string &why) { return failedRecord(q, Cause::BadContent, why); }

// How many numbers the engine parsed from the station's answer, or nothing when the last
// answer on the line is no data answer. The engine reads a report's first number twice
// (as its values 0 and 1).
std::optional<int> answerNumbers(const Exchange &ex, uint32_t kind) {
    if (answerCause(ex.received) != Cause::None) return std::nullopt;
    return static_cast<int>(frameWords(ex.received.back()).size()) + (kind == KIND_REPORT ? 1 : 0);
}

Exchange request(Host &host, const ChannelConfig &c, const Query &q, uint32_t kind, uint32_t item, uint32_t index,
                 uint32_t direction, int32_t length, const std::function<void(HostMsg *)> &area = {},
                 const OnMessage &onMessage = {}) {
    return runRequest(host, c, Engine::Telegram, q.target.node,
                      {TELEGRAM_ADDRESS(kind, item), index, direction, length, kind == KIND_HISTORY}, area, onMessage);
}

void addValues(const Query &q, const Exchange &ex, int first, int count, Records *out) {
    for (int i = 0; i < count; ++i) {
        float v = 0;
        std::memcpy(&v, ex.area.data() + 4 * i, sizeof v);
        Record r = baseRecord(q, itemName(q));
        r.index = first + i;
        r.value = static_cast<double>(v);
        out->push_back(r);
    }
}

// Pictures and the report: a read of `count` values from `first`. Without a count, a read
// of none first tells how many the station has: the numbers of its answer on the line, less
// the picture's header.
Records readList(Host &host, const ChannelConfig &c, const Query &q, uint32_t kind, int header, int defaultFirst) {
    const int first = q.first.value_or(defaultFirst);
    const uint32_t item = kind == KIND_PICTURE ? static_cast<uint32_t>(q.picture) : 0;
    int count = q.count.value_or(0);
    if (!q.count) {
        Exchange probe = request(host, c, q, kind, item, 2u * static_cast<uint32_t>(first), DIR_READ, 0);
        if (auto f = failure(q, probe)) return {*f};
        const auto n = answerNumbers(probe, kind);
        if (!n) return {answerFailure(q, probe)};
        count = *n - header - first;
        if (count <= 0) return {noValues(q, "no values from " + std::to_string(first) + " on")};
    }
    if (count > kMaxValues) return {noValues(q, "at most " + std::to_string(kMaxValues) + " values at a time")};
    Exchange ex = request(host, c, q, kind, item, 2u * static_cast<uint32_t>(first), DIR_READ, 2 * count);
    if (auto f = failure(q, ex)) return {*f};
    // Values only from an answer that holds them all: else the area is not the station's.
    const auto n = answerNumbers(ex, kind);
    if (!n) return {answerFailure(q, ex)};
    if (*n < header + first + count) return {noValues(q, "the reply has fewer values than asked for")};
    Records out;
    addValues(q, ex, first, count, &out);
    if (kind == KIND_REPORT && first == 0 && !out.empty()) {
        // The engine reads the reply's first number twice, as its values 0 and 1: value 0
        // is no number of its own.
        out.front().value = std::monostate{};
        out.front().notes.push_back("report value 0: the telegram engine delivers none (it repeats value 1 there)");
    }
    return out;
}

// What the telegram engine delivers of each setpoint type: the value of a number, nothing
// of a text (T) or of a letter it does not know.
bool deliversValue(char type) { return std::string_view("01234DIS").find(type) != std::string_view::npos; }

std::string typeName(char type) {
    std::string name = "type ";
    name += type;
    if (type == 'T') name += ", a text";
    return name;
}

// The setpoint list. The engine hands the host only numbers, 0.0 for a setpoint it does not
// have and for a text: which setpoints the station lists, and of which type, the tool reads
// from the list reply on the line. Unlisted setpoints are left out; a listed one whose type
// brings no value says so.
Records setpoints(Host &host, const ChannelConfig &c, const Query &q) {
    const int first = q.first.value_or(1);
    int count = q.count.value_or(0);
    auto read = [&](int n) {
        return request(host, c, q, KIND_SETPOINTS, 0, 2u * static_cast<uint32_t>(first), DIR_READ, 2 * n);
    };
    Exchange ex = read(count);
    if (auto f = failure(q, ex)) return {*f};
    if (answerCause(ex.received) != Cause::None) return {answerFailure(q, ex)};
    auto list = lastSetpointList(ex.received);
    if (!list) return {noValues(q, "the setpoint list was not seen on the line")};
    if (!q.count) {  // up to the last setpoint listed
        long last = 0;
        for (const ListedSetpoint &s : *list) last = std::max(last, s.number);
        if (last < first) return {};
        count = static_cast<int>(last) - first + 1;
        ex = read(count);
        if (auto f = failure(q, ex)) return {*f};
        if (answerCause(ex.received) != Cause::None) return {answerFailure(q, ex)};
        list = lastSetpointList(ex.received);
        if (!list) return {noValues(q, "the setpoint list was not seen on the line")};
    }
    Records values;
    addValues(q, ex, first, count, &values);
    Records out;
    for (Record &r : values) {
        const auto listed =
            std::find_if(list->begin(), list->end(), [&](const ListedSetpoint &s) { return s.number == *r.index; });
        if (listed == list->end()) continue;
        if (!deliversValue(listed->type)) {
            r.value = std::monostate{};
            r.notes.push_back("setpoint " + std::to_string(*r.index) + " (" + typeName(listed->type) +
                              "): the telegram engine delivers no value for this type");
        }
        out.push_back(r);
    }
    return out;
}

Records writeSetpoint(Host &host, const ChannelConfig &c, const Query &q) {
    const float value = static_cast<float>(q.value);
    Exchange ex = request(host, c, q, KIND_SETPOINTS, 0, 2u * static_cast<uint32_t>(q.setpoint), DIR_WRITE, 2,
                          [&](HostMsg *m) { std::memcpy(m->data, &value, sizeof value); });
    if (auto f = failure(q, ex)) return {*f};
    // The handler reads the list first; without a list it writes nothing and still succeeds.
    // The write telegram on the line shows that it went out; the last answer is the one to it.
    if (!lastSetpointWrite(ex.sent)) {
        Record r = answerFailure(q, ex);
        r.errorText = "nothing written: " + r.errorText;
        return {r};
    }
    if (answerCause(ex.received) == Cause::DamagedReply)
        return {failedRecord(q, Cause::DamagedReply,
                             "the answer to the write was damaged: read the setpoint back to check it")};
    // What went out, from the line: the engine rounds the value to the setpoint's decimals.
    const auto sent = lastSetpointWrite(ex.sent);
    if (!sent || sent->kind.size() != 1 || sent->kind[0] < '0' || sent->kind[0] > '4')
        return {noValues(q, "the write telegram was not seen on the line")};
    // The engine does not read the list back after a write: one read of the setpoint shows
    // what the station holds now.
    std::optional<double> readBack;
    std::string notRead;
    Exchange back = request(host, c, q, KIND_SETPOINTS, 0, 2u * static_cast<uint32_t>(q.setpoint), DIR_READ, 2);
    if (auto f = failure(q, back)) {
        notRead = errorField(*f);
    } else if (answerCause(back.received) != Cause::None || back.area.size() < sizeof(float)) {
        notRead = answerText(back.received);
    } else {
        float v = 0;
        std::memcpy(&v, back.area.data(), sizeof v);
        readBack = static_cast<double>(v);
    }
    Record r = writtenSetpoint(q, *sent, sent->kind[0] - '0', readBack);
    if (!readBack)
        r.notes.push_back("setpoint " + std::to_string(q.setpoint) + " written, but not read back: " + notRead);
    return {r};
}

Records command(Host &host, const ChannelConfig &c, const Query &q) {
    uint16_t code = 0;
    switch (q.letter) {
    case 'F':
        code = 0;
        break;
    case 'N':
        code = 1;
        break;
    case 'B':
        code = 2;
        break;
    default:
        code = 3;
        break;  // M
    }
    Exchange ex = request(host, c, q, KIND_MACHINE, static_cast<uint32_t>(q.item), static_cast<uint32_t>(q.machine),
                          DIR_WRITE, 1, [&](HostMsg *m) { std::memcpy(m->data, &code, sizeof code); });
    if (auto f = failure(q, ex)) return {*f};
    Record r = baseRecord(q, "command");
    r.index = q.machine;
    r.value = commandName(q.letter);
    return {r};
}

Records history(Host &host, const ChannelConfig &c, const Query &q, const Progress &progress) {
    Records out;
    long records = 0;
    auto onMessage = [&](const HostMsg &m) {
        if (TELEGRAM_KIND(m.address) != KIND_HISTORY) return;
        if (m.direction == DIR_READ_TIME) {
            if (progress && m.timeStamp != 0) progress(records, m.timeStamp);
            return;
        }
        ++records;
        const int count = m.length / 2;
        for (int i = 0; i < count && i < kMaxValues; ++i) {
            float v = 0;
            std::memcpy(&v, static_cast<const unsigned char *>(m.data) + 4 * i, sizeof v);
            Record r = baseRecord(q, "history");
            r.index = i;
            r.value = static_cast<double>(v);
            r.time = m.timeStamp;
            out.push_back(r);
        }
    };
    Exchange ex = request(
        host, c, q, KIND_HISTORY, 0, 0, DIR_READ, 4, [&](HostMsg *m) { std::memcpy(m->data, &q.from, sizeof q.from); },
        onMessage);
    if (auto f = failure(q, ex)) out.push_back(*f);
    return out;
}

Records alarms(Host &host, const ChannelConfig &c, const Query &q) {
    Records out;
    auto onMessage = [&](const HostMsg &m) {
        if (TELEGRAM_KIND(m.address) != KIND_ALARMS) return;
        uint16_t flag = 0;
        std::memcpy(&flag, m.data, sizeof flag);
        Record r = baseRecord(q, "alarm");
        r.index = m.index;
        r.value = std::string(flag == 0xFFFF ? "active" : "cleared");
        r.time = m.timeStamp;
        if (q.onAlarm) (void)q.onAlarm(r);  // the driver acknowledges it either way
        out.push_back(r);
    };
    Exchange ex = request(host, c, q, KIND_ALARMS, 0, 0, DIR_READ, 1, {}, onMessage);
    if (auto f = failure(q, ex)) out.push_back(*f);
    return out;
}

}  // namespace

Records telegramQuery(Host &host, const ChannelConfig &c, const Query &q, const Progress &progress) {
    switch (q.what) {
    case What::Picture:
        return readList(host, c, q, KIND_PICTURE, 8, 0);
    case What::Report:
        return readList(host, c, q, KIND_REPORT, 0, 1);
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
