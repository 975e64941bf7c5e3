#include "sparkplug_payload.h"

#include <chrono>
#include <memory>

#include "sparkplug_b.pb-c.h"

namespace hydrix::serve::sparkplug {
namespace {

using PbPayload = Org__Eclipse__Tahu__Protobuf__Payload;
using PbMetric = Org__Eclipse__Tahu__Protobuf__Payload__Metric;
using PbPropertySet = Org__Eclipse__Tahu__Protobuf__Payload__PropertySet;
using PbPropertyValue = Org__Eclipse__Tahu__Protobuf__Payload__PropertyValue;

// The protobuf-c structures of one payload, pointing into the metrics they are made from.
struct Encoding {
    explicit Encoding(const Payload &p) : metrics(p.metrics.size()), sets(p.metrics.size()) {
        pointers.reserve(p.metrics.size());
        for (size_t i = 0; i < p.metrics.size(); ++i) {
            fill(p.metrics[i], &metrics[i], &sets[i]);
            pointers.push_back(&metrics[i]);
        }
        org__eclipse__tahu__protobuf__payload__init(&payload);
        payload.has_timestamp = 1;
        payload.timestamp = p.timestamp;
        if (p.seq) {
            payload.has_seq = 1;
            payload.seq = *p.seq;
        }
        payload.n_metrics = pointers.size();
        payload.metrics = pointers.data();
    }

    struct Properties {
        PbPropertySet set;
        std::vector<char *> keys;
        std::vector<PbPropertyValue> values;
        std::vector<PbPropertyValue *> valuePointers;
    };

    static void fill(const Metric &m, PbMetric *pb, Properties *props) {
        org__eclipse__tahu__protobuf__payload__metric__init(pb);
        pb->name = const_cast<char *>(m.name.c_str());
        pb->has_datatype = 1;
        pb->datatype = static_cast<uint32_t>(m.type);
        if (m.timestamp) {
            pb->has_timestamp = 1;
            pb->timestamp = m.timestamp;
        }
        if (m.historical) {
            pb->has_is_historical = 1;
            pb->is_historical = 1;
        }
        if (const double *d = std::get_if<double>(&m.value)) {
            pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
            pb->double_value = *d;
        } else if (const int64_t *i = std::get_if<int64_t>(&m.value)) {
            // Int8 to Int32 travel in int_value, Int64 in long_value (two's complement).
            if (static_cast<uint32_t>(m.type) >= 1 && static_cast<uint32_t>(m.type) <= 3) {
                pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_INT_VALUE;
                pb->int_value = static_cast<uint32_t>(static_cast<int32_t>(*i));
            } else {
                pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_LONG_VALUE;
                pb->long_value = static_cast<uint64_t>(*i);
            }
        } else if (const uint64_t *u = std::get_if<uint64_t>(&m.value)) {
            pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_LONG_VALUE;
            pb->long_value = *u;
        } else if (const bool *b = std::get_if<bool>(&m.value)) {
            pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
            pb->boolean_value = *b;
        } else if (const std::string *s = std::get_if<std::string>(&m.value)) {
            pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_STRING_VALUE;
            pb->string_value = const_cast<char *>(s->c_str());
        } else {
            pb->has_is_null = 1;
            pb->is_null = 1;
        }
        // Properties: "engUnit" (String), "Quality" (Int32), "dup" (Boolean).
        org__eclipse__tahu__protobuf__payload__property_set__init(&props->set);
        props->values.reserve(3);
        const auto add = [props](const char *key, DataType type) -> PbPropertyValue & {
            props->keys.push_back(const_cast<char *>(key));
            PbPropertyValue &v = props->values.emplace_back();
            org__eclipse__tahu__protobuf__payload__property_value__init(&v);
            v.has_type = 1;
            v.type = static_cast<uint32_t>(type);
            return v;
        };
        if (!m.unit.empty()) {
            PbPropertyValue &v = add("engUnit", DataType::String);
            v.value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE;
            v.string_value = const_cast<char *>(m.unit.c_str());
        }
        if (m.quality) {
            PbPropertyValue &v = add("Quality", DataType::Int32);
            v.value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE;
            v.int_value = static_cast<uint32_t>(*m.quality);
        }
        if (m.dup) {
            PbPropertyValue &v = add("dup", DataType::Boolean);
            v.value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__PROPERTY_VALUE__VALUE_BOOLEAN_VALUE;
            v.boolean_value = 1;
        }
        if (props->keys.empty()) return;
        for (PbPropertyValue &v : props->values) props->valuePointers.push_back(&v);
        props->set.n_keys = props->keys.size();
        props->set.keys = props->keys.data();
        props->set.n_values = props->valuePointers.size();
        props->set.values = props->valuePointers.data();
        pb->properties = &props->set;
    }

    std::vector<PbMetric> metrics;
    std::vector<Properties> sets;
    std::vector<PbMetric *> pointers;
    PbPayload payload;
};

Value valueOf(const PbMetric &m) {
    switch (m.value_case) {
    case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE:
        return m.double_value;
    case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_FLOAT_VALUE:
        return static_cast<double>(m.float_value);
    case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_INT_VALUE:
        // Signed types of up to 32 bits are sign-extended from int_value.
        if (m.has_datatype && m.datatype >= 1 && m.datatype <= 3)
            return static_cast<int64_t>(static_cast<int32_t>(m.int_value));
        return static_cast<int64_t>(m.int_value);
    case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_LONG_VALUE:
        if (m.has_datatype && m.datatype == static_cast<uint32_t>(DataType::Int64))
            return static_cast<int64_t>(m.long_value);
        return m.long_value;
    case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
        return static_cast<bool>(m.boolean_value);
    case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_STRING_VALUE:
        return std::string(m.string_value ? m.string_value : "");
    default:
        return std::monostate{};
    }
}

// The properties the gateway writes: "engUnit", "Quality", "dup".
void properties(const PbMetric &m, Metric *out) {
    if (!m.properties) return;
    const PbPropertySet &set = *m.properties;
    for (size_t i = 0; i < set.n_keys && i < set.n_values; ++i) {
        const std::string key = set.keys[i] ? set.keys[i] : "";
        const PbPropertyValue &v = *set.values[i];
        if (key == "engUnit" &&
            v.value_case == ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE)
            out->unit = v.string_value ? v.string_value : "";
        else if (key == "Quality" &&
                 v.value_case == ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE)
            out->quality = static_cast<int32_t>(v.int_value);
        else if (key == "dup" &&
                 v.value_case == ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__PROPERTY_VALUE__VALUE_BOOLEAN_VALUE)
            out->dup = v.boolean_value;
    }
}

}  // namespace

std::string encode(const Payload &p) {
    const Encoding e(p);
    std::string out(org__eclipse__tahu__protobuf__payload__get_packed_size(&e.payload), '\0');
    org__eclipse__tahu__protobuf__payload__pack(&e.payload, reinterpret_cast<uint8_t *>(out.data()));
    return out;
}

std::optional<Payload> decode(const std::string &bytes) {
    std::unique_ptr<PbPayload, void (*)(PbPayload *)> pb(
        org__eclipse__tahu__protobuf__payload__unpack(nullptr, bytes.size(),
                                                      reinterpret_cast<const uint8_t *>(bytes.data())),
        [](PbPayload *p) { org__eclipse__tahu__protobuf__payload__free_unpacked(p, nullptr); });
    if (!pb) return std::nullopt;
    Payload out;
    out.timestamp = pb->has_timestamp ? pb->timestamp : 0;
    if (pb->has_seq) out.seq = pb->seq;
    for (size_t i = 0; i < pb->n_metrics; ++i) {
        const PbMetric &m = *pb->metrics[i];
        Metric metric;
        metric.name = m.name ? m.name : "";
        metric.type = static_cast<DataType>(m.has_datatype ? m.datatype : 0);
        metric.timestamp = m.has_timestamp ? m.timestamp : 0;
        metric.historical = m.has_is_historical && m.is_historical;
        if (!(m.has_is_null && m.is_null)) metric.value = valueOf(m);
        properties(m, &metric);
        out.metrics.push_back(std::move(metric));
    }
    return out;
}

uint64_t nowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

}  // namespace hydrix::serve::sparkplug
