// Request telegrams: the dispatcher picks the telegram for a request's code and
// direction, and each formatter builds it field by field into a line buffer:
// SOH, blank, fields each followed by a blank, "#", blank, checksum, blank, CR.
#include <cstdio>
#include <cstring>

#include "v6/v6.h"

namespace v6 {
namespace {

// Telegram lengths are kept below 256 bytes; no telegram comes near that.
constexpr int MAX_TELEGRAM = 255;
constexpr size_t MCC_DUMP_CHARS = 195;

class TelegramWriter {
public:
    explicit TelegramWriter(V6Buffer *buf) : buf_(buf) {
        buf_->data[0] = SOH;
        buf_->data[1] = ' ';
        used_ = 2;
    }
    // A field and the blank behind it.
    void field(const char *text) {
        put(text);
        put(" ");
    }
    void number(long long value) {
        char text[24];
        std::snprintf(text, sizeof text, "%lld", value);
        field(text);
    }
    void put(const char *text) {
        for (; *text != '\0' && used_ < MAX_TELEGRAM; ++text) buf_->data[used_++] = *text;
    }
    // "#", blank, checksum of everything after the SOH, blank, CR.
    void finish() {
        const int hash = used_;
        put("#");
        char check[16];
        std::snprintf(check, sizeof check, " %u ", frameChecksum(buf_->data + 1, hash - 1));
        put(check);
        if (used_ < MAX_TELEGRAM) buf_->data[used_++] = CR;
        buf_->length = used_;
    }

private:
    V6Buffer *buf_;
    int used_;
};

HostMsg *request(V6Channel *ch) { return ch->curMsg.load(); }

uint16_t valueWord(const HostMsg *msg, int i) {
    uint16_t w = 0;
    if (msg->data != nullptr) std::memcpy(&w, static_cast<const char *>(msg->data) + 2 * i, sizeof w);
    return w;
}

float valueFloat(const HostMsg *msg) {
    float f = 0;
    if (msg->data != nullptr) std::memcpy(&f, msg->data, sizeof f);
    return f;
}

OrvelTime valueTime(const HostMsg *msg) {
    OrvelTime t = 0;
    if (msg->data != nullptr) std::memcpy(&t, msg->data, sizeof t);
    return t;
}

void station(TelegramWriter &w, const V6Channel *ch) { w.number(ch->currentStation.load()); }

// The route text of the request's node: empty when the node is not in the table.
void routeText(const V6Channel *ch, char out[V6_ROUTE_SIZE]) {
    out[0] = '\0';
    const uint32_t count = nodesInTable(ch);
    if (ch->nodeIndex >= count) return;
    const char *route = ch->nodeTable[ch->nodeIndex].route;
    const size_t n = strnlen(route, V6_ROUTE_SIZE - 1);
    std::memcpy(out, route, n);
    out[n] = '\0';
}

// A setpoint value with `decimals` digits after the point, cut rather than rounded; with
// no digits the point stays.
void decimalValue(float value, int decimals, char *out, size_t size) {
    std::snprintf(out, size, "%f", static_cast<double>(value));
    if (char *point = std::strchr(out, '.')) {
        const size_t keep = static_cast<size_t>(point - out) + 1 + static_cast<size_t>(decimals);
        if (keep < std::strlen(out)) out[keep] = '\0';
    }
}

void traceMcc(const V6Channel *ch, const V6Buffer *buf) {
    char dump[MCC_DUMP_CHARS + 4] = "";
    size_t used = 0;
    for (int i = 0; i < buf->length && used < MCC_DUMP_CHARS; ++i) {
        used += static_cast<size_t>(
            std::snprintf(dump + used, sizeof dump - used, "%02X,", static_cast<unsigned char>(buf->data[i])));
        if (buf->data[i] == CR) break;
    }
    textOutputParm("[%d] SendMCC: %s", static_cast<int>(ch->channelNo), dump);
}

void SendMCC(V6Channel *ch, V6Buffer *buf) {
    textOutput("Write MCC");
    const HostMsg *msg = request(ch);
    const uint32_t code = msg->address & 0xFFFF;
    uint32_t setpoint = msg->index >> 1;
    static constexpr char kLetters[] = {'A', 'D', 'T', '0', '1', '2', '3', '4'};
    const char letter = kLetters[code & 7];
    if (letter == 'T') setpoint /= 5;

    TelegramWriter w(buf);
    station(w, ch);
    w.field("MCC");
    char route[V6_ROUTE_SIZE];
    routeText(ch, route);
    w.field(route);
    char when[40];
    secondText(when, sizeof when);
    w.field(when);
    w.number(setpoint);
    const char type[2] = {letter, '\0'};
    w.field(type);
    char value[64];
    if (letter == 'A' || letter == 'D')
        std::snprintf(value, sizeof value, "%u", static_cast<unsigned>(valueWord(msg, 0)));
    else if (letter == 'T')
        std::snprintf(value, sizeof value, "'My_Station_name'");
    else
        decimalValue(valueFloat(msg), letter - '0', value, sizeof value);
    w.field(value);
    w.finish();
    traceMcc(ch, buf);
}

void SendMAS(V6Channel *ch, V6Buffer *buf) {
    textOutput("Write MAS");
    const HostMsg *msg = request(ch);
    TelegramWriter w(buf);
    station(w, ch);
    w.field("MAS");
    w.number(msg->index >> 1);
    for (int i = 0; i < 5; ++i) w.number(valueWord(msg, i));
    w.finish();
}

void SendWGS(V6Channel *ch, V6Buffer *buf, char letter) {
    const HostMsg *msg = request(ch);
    TelegramWriter w(buf);
    station(w, ch);
    w.field("WGS");
    w.field("P");
    w.number(static_cast<uint8_t>(msg->index >> 1));
    const char text[2] = {letter, '\0'};
    w.field(text);
    w.number(static_cast<uint8_t>(msg->address >> 16));
    w.finish();
    ch->step.store(STEP_WGS_SENT);
}

void SendWGD(V6Channel *ch, V6Buffer *buf) {
    TelegramWriter w(buf);
    station(w, ch);
    w.field("WGD");
    char text[40];
    minuteText(text, sizeof text);
    w.field(text);
    dateText(text, sizeof text);
    w.field(text);
    w.finish();
    ch->step.store(STEP_WGD_SENT);
}

void SendWGH(V6Channel *ch, V6Buffer *buf) {
    TelegramWriter w(buf);
    station(w, ch);
    w.field("WGH");
    char text[40];
    histTimeText(text, sizeof text, valueTime(request(ch)));
    w.field(text);
    w.finish();
    ch->step.store(STEP_WGH_SENT);
}

// The alarm read ends its time fields with "#" directly.
void SendWCA(V6Channel *ch, V6Buffer *buf) {
    TelegramWriter w(buf);
    station(w, ch);
    w.field("WCA");
    w.field("0");
    char text[40];
    alarmTimeText(text, sizeof text);
    w.put(text);
    w.finish();
}

void SendBRK(V6Channel *ch, V6Buffer *buf) {
    TelegramWriter w(buf);
    station(w, ch);
    w.field("BRK");
    w.finish();
}

// The acknowledgement always goes to station 0, the station on the line.
void SendALO(V6Channel *ch, V6Buffer *buf) {
    TelegramWriter w(buf);
    w.field("0");
    w.field("ALO");
    w.finish();
    ch->step.store(STEP_ALO_SENT);
}

void SendOK(V6Channel *ch, V6Buffer *buf) {
    TelegramWriter w(buf);
    w.field("OK");
    w.finish();
    ch->step.store(STEP_OK_SENT);
}

char commandLetter(uint16_t word) {
    switch (word) {
    case 1:
        return 'F';
    case 2:
        return 'B';
    case 4:
        return 'N';
    case 8:
        return 'M';
    default:
        return '!';
    }
}

}  // namespace

void SendListRead(V6Channel *ch, V6Buffer *buf, int mode) {
    TelegramWriter w(buf);
    station(w, ch);
    w.field(mode == 1 ? "MCC" : "MAS");
    w.field("0");
    w.field("1");
    w.finish();
    ch->step.store(mode == 1 ? STEP_MCC_SENT : STEP_MAS_SENT);
}

int32_t SendRequest(V6Channel *ch, V6Buffer *buf) {
    HostMsg *msg = request(ch);
    if (msg == nullptr) return 0;
    const uint32_t count = nodesInTable(ch);
    uint32_t i = 0;
    while (i < count && ch->nodeTable[i].node != msg->node) ++i;
    ch->nodeIndex = i;
    ch->currentStation.store(static_cast<int32_t>(msg->node));

    const bool read = msg->direction == DIR_READ;
    const uint32_t code = msg->address & 0xFFFF;
    if (code <= V6_MCC_WRITE_LAST) {
        if (read) return 0;
        SendMCC(ch, buf);
        ch->step.store(STEP_MCC_WRITE);
        return 1;
    }
    switch (code) {
    case V6_MAS_READ:
        SendListRead(ch, buf, 2);
        return 1;
    case V6_MCC_READ:
        SendListRead(ch, buf, 1);
        return 1;
    case V6_WGD_REPORT:
        SendWGD(ch, buf);
        return 1;
    case V6_WGS_PICTURE:
        SendWGS(ch, buf, '!');
        return 1;
    case V6_WGH_HISTORY:
        SendWGH(ch, buf);
        return 1;
    default:
        break;
    }
    if (read) return 0;
    switch (code) {
    case V6_MAS_WRITE:
        SendMAS(ch, buf);
        return 1;
    case V6_OK:
        SendOK(ch, buf);
        return 1;
    case V6_WCA_ALARMS:
        SendWCA(ch, buf);
        return 1;
    case V6_ALO_ACK:
        SendALO(ch, buf);
        return 1;
    case V6_BRK:
        SendBRK(ch, buf);
        return 1;
    case V6_MACHINE:
        SendWGS(ch, buf, commandLetter(valueWord(msg, 0)));
        return 1;
    default:
        return 0;
    }
}

HostMsg *makeSelfRequest(V6Channel *ch, uint32_t address, uint32_t index, uint16_t value) {
    HostMsg *msg = getMsgFromPool(static_cast<int32_t>(ch->channelNo));
    if (msg == nullptr) return nullptr;
    msg->direction = DIR_WRITE;
    msg->node = static_cast<uint32_t>(ch->currentStation.load());
    msg->address = address;
    msg->index = index;
    msg->errGroup = 0;
    msg->errCode = 0;
    msg->errSub = 0;
    msg->length = 1;
    if (msg->data != nullptr) std::memcpy(msg->data, &value, sizeof value);
    return msg;
}

int32_t queueSelfRequest(V6Channel *ch, uint32_t address, uint32_t index, uint16_t value) {
    if (HostMsg *msg = makeSelfRequest(ch, address, index, value))
        putMsgToSapOq(static_cast<int32_t>(ch->channelNo), msg);
    return 1;
}

}  // namespace v6
