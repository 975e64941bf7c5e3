#include "register_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace hydrix::serve {
namespace {

std::string labelOf(const Item &item) {
    switch (item.query.what) {
    case cli::What::Picture:
        return "picture " + std::to_string(item.query.picture);
    case cli::What::Report:
        return "report";
    default:
        return "setpoints";
    }
}

std::string scaleText(double scale) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", scale);
    return buf;
}

struct Row {
    const Unit *unit;
    const Block *block;
    uint32_t address;
    int registers;
    std::string type, meaning;
    Tag tag;  // a value's name, unit and scale
};

std::string tagText(const Tag &t) {
    if (t.name.empty()) return "";
    return ": " + t.name + (t.unit.empty() ? "" : " [" + t.unit + "]") +
           (t.scale != 1 ? " (station's number x " + scaleText(t.scale) + ")" : "");
}

std::vector<Row> rows(const RegisterMap &map) {
    std::vector<Row> out;
    for (const Unit &u : map.units)
        for (const Block &b : u.blocks) {
            for (int i = 0; i < b.count; ++i) {
                const Tag tag = static_cast<size_t>(i) < b.tags.size() ? b.tags[static_cast<size_t>(i)] : Tag{};
                out.push_back({&u, &b, b.values + 2 * static_cast<uint32_t>(i), 2, "float32",
                               (b.setpoints ? "setpoint " : "value ") + std::to_string(b.first + i) +
                                   (b.setpoints ? " (writable)" : "") + tagText(tag),
                               tag});
            }
            const uint32_t s = b.status;
            out.push_back({&u, &b, s, 1, "uint16", "quality: 0 good, 1 never read, 2 last read failed, 3 stale", {}});
            out.push_back({&u, &b, s + 1, 2, "uint32", "age of the last good value, s (0xFFFFFFFF: never)", {}});
            out.push_back({&u, &b, s + 3, 2, "uint32", "error group of the last failed read", {}});
            out.push_back({&u, &b, s + 5, 2, "uint32", "error code of the last failed read", {}});
            out.push_back({&u, &b, s + 7, 2, "uint32", "error sub of the last failed read", {}});
            out.push_back({&u, &b, s + 9, 1, "uint16", "failed reads in a row", {}});
        }
    return out;
}

const char *orderName(WordOrder o) {
    switch (o) {
    case WordOrder::ABCD:
        return "ABCD";
    case WordOrder::CDAB:
        return "CDAB";
    case WordOrder::BADC:
        return "BADC";
    case WordOrder::DCBA:
        return "DCBA";
    }
    return "";
}

std::string jsonText(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

uint16_t swapBytes(uint16_t v) { return static_cast<uint16_t>((v << 8) | (v >> 8)); }

}  // namespace

const Unit *RegisterMap::find(int unit) const {
    for (const Unit &u : units)
        if (u.unit == unit) return &u;
    return nullptr;
}

std::optional<RegisterMap> buildMap(const ServeConfig &serve, std::string *error) {
    RegisterMap map;
    map.order = serve.wordOrder;
    for (const Item &item : serve.items) {
        const int channel = item.query.target.channel;
        const uint32_t node = item.query.target.node;
        const int unit = serve.unitOf(channel, node);
        auto it = std::find_if(map.units.begin(), map.units.end(), [&](const Unit &u) { return u.unit == unit; });
        if (it == map.units.end()) {
            map.units.push_back({unit, channel, node, {}, 0});
            it = map.units.end() - 1;
        }
        Block b;
        b.item = item.name;
        b.label = labelOf(item);
        b.setpoints = item.setpoints();
        b.first = item.first;
        b.count = item.count;
        b.values = it->end;
        b.status = b.values + 2 * static_cast<uint32_t>(item.count);
        b.staleLimit = serve.staleLimit(item);
        for (int i = 0; i < item.count; ++i) {
            const Tag *t = serve.tagOf(item.name, item.first + i);
            b.tags.push_back(t ? *t : Tag{});
        }
        it->end = b.status + kStatusRegisters;
        if (it->end > 65536) {
            *error = "the items of node " + std::to_string(node) + " need " + std::to_string(it->end) +
                     " registers: a Modbus unit has 65536";
            return std::nullopt;
        }
        it->blocks.push_back(b);
    }
    std::sort(map.units.begin(), map.units.end(), [](const Unit &a, const Unit &b) { return a.unit < b.unit; });
    return map;
}

std::string mapText(const RegisterMap &map, cli::Format format) {
    std::string out;
    const auto all = rows(map);
    if (format == cli::Format::Csv) {
        out = "unit,channel,node,item,address,registers,type,meaning,name,unit_of_measure,scale\n";
        for (const Row &r : all)
            out += std::to_string(r.unit->unit) + "," + std::to_string(r.unit->channel) + "," +
                   std::to_string(r.unit->node) + "," + r.block->label + "," + std::to_string(r.address) + "," +
                   std::to_string(r.registers) + "," + r.type + ",\"" + r.meaning + "\"," + r.tag.name + ",\"" +
                   r.tag.unit + "\"," + (r.tag.name.empty() ? "" : scaleText(r.tag.scale)) + "\n";
        return out;
    }
    if (format == cli::Format::Json) {
        for (const Row &r : all)
            out += "{\"unit\":" + std::to_string(r.unit->unit) + ",\"channel\":" + std::to_string(r.unit->channel) +
                   ",\"node\":" + std::to_string(r.unit->node) + ",\"item\":" + jsonText(r.block->label) +
                   ",\"address\":" + std::to_string(r.address) + ",\"registers\":" + std::to_string(r.registers) +
                   ",\"type\":\"" + r.type + "\",\"wordOrder\":\"" + orderName(map.order) +
                   "\",\"meaning\":" + jsonText(r.meaning) +
                   (r.tag.name.empty() ? std::string()
                                       : ",\"name\":" + jsonText(r.tag.name) + ",\"unitOfMeasure\":" +
                                             jsonText(r.tag.unit) + ",\"scale\":" + scaleText(r.tag.scale)) +
                   "}\n";
        return out;
    }
    out =
        "Input registers (function 4; the same through function 3), addresses from 0; 32-bit values in word "
        "order " +
        std::string(orderName(map.order)) + ".\n";
    for (const Unit &u : map.units) {
        out += "\nunit " + std::to_string(u.unit) + ": channel " + std::to_string(u.channel) + " node " +
               std::to_string(u.node) + " (coil N-1: machine N start on, stop off)\n";
        for (const Row &r : all) {
            if (r.unit != &u) continue;
            char line[200];
            const std::string at = r.registers == 1 ? std::to_string(r.address)
                                                    : std::to_string(r.address) + "-" + std::to_string(r.address + 1);
            std::snprintf(line, sizeof line, "  %-11s  %-10s %-8s %s\n", at.c_str(), r.block->label.c_str(),
                          r.type.c_str(), r.meaning.c_str());
            out += line;
        }
    }
    return out;
}

void encodeU32(uint32_t v, WordOrder order, uint16_t out[2]) {
    const uint16_t hi = static_cast<uint16_t>(v >> 16), lo = static_cast<uint16_t>(v & 0xFFFF);
    switch (order) {
    case WordOrder::ABCD:
        out[0] = hi;
        out[1] = lo;
        break;
    case WordOrder::CDAB:
        out[0] = lo;
        out[1] = hi;
        break;
    case WordOrder::BADC:
        out[0] = swapBytes(hi);
        out[1] = swapBytes(lo);
        break;
    case WordOrder::DCBA:
        out[0] = swapBytes(lo);
        out[1] = swapBytes(hi);
        break;
    }
}

void encodeFloat(float value, WordOrder order, uint16_t out[2]) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    encodeU32(bits, order, out);
}

float decodeFloat(const uint16_t in[2], WordOrder order) {
    uint16_t hi = 0, lo = 0;
    switch (order) {
    case WordOrder::ABCD:
        hi = in[0];
        lo = in[1];
        break;
    case WordOrder::CDAB:
        hi = in[1];
        lo = in[0];
        break;
    case WordOrder::BADC:
        hi = swapBytes(in[0]);
        lo = swapBytes(in[1]);
        break;
    case WordOrder::DCBA:
        hi = swapBytes(in[1]);
        lo = swapBytes(in[0]);
        break;
    }
    const uint32_t bits = (static_cast<uint32_t>(hi) << 16) | lo;
    float v = 0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

uint8_t readRegisters(const RegisterMap &map, const Store &store, int unitId, uint32_t address, uint32_t count,
                      Clock::time_point now, uint16_t *out) {
    const Unit *unit = map.find(unitId);
    if (!unit) return kGatewayPath;
    if (count == 0 || address + count > unit->end) return kIllegalAddress;
    const uint32_t last = address + count;  // one past
    for (const Block &b : unit->blocks) {
        const uint32_t end = b.status + kStatusRegisters;
        if (b.values >= last || end <= address) continue;
        const ItemState s = store.get(b.item).value_or(ItemState{});
        const Quality q = qualityOf(s, now, b.staleLimit);
        // The block as it reads, then the part asked for.
        uint16_t regs[2 * 500 + kStatusRegisters] = {};
        const bool touchesValues = address < b.status && last > b.values;
        if (touchesValues && (q == Quality::NeverRead || q == Quality::Stale)) return kGatewayTarget;
        for (int i = 0; i < b.count; ++i) {
            const double v = static_cast<size_t>(i) < s.values.size() ? s.values[static_cast<size_t>(i)]
                                                                      : std::numeric_limits<double>::quiet_NaN();
            encodeFloat(static_cast<float>(v * b.scale(i)), map.order, &regs[2 * i]);
        }
        uint16_t *st = &regs[2 * b.count];
        st[0] = static_cast<uint16_t>(q);
        uint32_t age = 0xFFFFFFFFu;
        if (s.everGood) {
            const double a = std::chrono::duration<double>(now - s.goodAt).count();
            age = a <= 0 ? 0 : a >= 4294967294.0 ? 4294967294u : static_cast<uint32_t>(a);
        }
        encodeU32(age, map.order, &st[1]);
        const bool failing = s.failing;
        encodeU32(failing ? s.error.group : 0, map.order, &st[3]);
        encodeU32(failing ? s.error.code : 0, map.order, &st[5]);
        encodeU32(failing ? s.error.sub : 0, map.order, &st[7]);
        st[9] = static_cast<uint16_t>(std::min<uint32_t>(s.failures, 65535));
        for (uint32_t a = std::max(address, b.values); a < std::min(last, end); ++a)
            out[a - address] = regs[a - b.values];
    }
    return 0;
}

std::optional<SetpointPlace> setpointAt(const RegisterMap &map, int unitId, uint32_t address) {
    const Unit *unit = map.find(unitId);
    if (!unit) return std::nullopt;
    for (const Block &b : unit->blocks)
        if (b.setpoints && address >= b.values && address < b.status && (address - b.values) % 2 == 0) {
            const int i = static_cast<int>((address - b.values) / 2);
            return SetpointPlace{unit->channel, unit->node, b.first + i, b.scale(i)};
        }
    return std::nullopt;
}

}  // namespace hydrix::serve
