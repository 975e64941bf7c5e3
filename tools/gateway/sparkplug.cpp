#include "sparkplug.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "output.h"
#include "times.h"

namespace hydrix::serve {
namespace {

using sparkplug::DataType;
using sparkplug::Metric;

const char *const kRebirth = "Node Control/Rebirth";
const char *const kResult = "Command/Result";

uint64_t msOf(OrvelTime t) { return t ? static_cast<uint64_t>(cli::unixFromOrvel(t) * 1000 + 0.5) : 0; }

int32_t qualityCode(Quality q) {
    switch (q) {
    case Quality::Good:
        return sparkplug::kQualityGood;
    case Quality::Failing:
        return sparkplug::kQualityLastUsable;
    default:
        return sparkplug::kQualityBad;
    }
}

Metric nullMetric(std::string name, DataType type) {
    Metric m;
    m.name = std::move(name);
    m.type = type;
    return m;
}

std::string metricName(const ServeConfig &serve, const Item &item, long long index) {
    if (const Tag *tag = serve.tagOf(item.name, index)) return tag->name;
    return itemTopic(item) + "/" + std::to_string(index);
}

}  // namespace

SparkplugNode::SparkplugNode(const ServeConfig &serve, const cli::Config &config, Outbox &outbox, std::string clientId,
                             std::set<uint32_t> sharedNodes)
    : MqttClient(serve, std::move(clientId), "Sparkplug"),
      outbox_(outbox),
      config_(config),
      sharedNodes_(std::move(sharedNodes)),
      group_(serve.sparkplugGroup),
      edge_(serve.sparkplugNode),
      sender_(outbox, Sink::Sparkplug) {
    const auto device = [this](int channel, uint32_t node) -> Device & {
        Device &d = devices_[{channel, node}];
        d.channel = channel;
        d.node = node;
        d.id = stationId(channel, node, sharedNodes_);
        return d;
    };
    for (const Item &item : serve_.items) {
        Device &d = device(item.query.target.channel, item.query.target.node);
        d.items.push_back(item.name);
        items_[item.name].item = item;
        if (item.setpoints())
            for (int n = item.first; n < item.first + item.count; ++n)
                d.writes[metricName(serve_, item, n)] = "setpoint/" + std::to_string(n);
    }
    for (const StationTask &t : serve_.alarms) device(t.channel, t.node).alarms = true;
    for (const StationTask &t : serve_.history) device(t.channel, t.node);
    for (const auto &[key, name] : serve_.machineTags) {
        const auto &[channel, node, machine] = key;
        if (auto it = devices_.find({channel, node}); it != devices_.end())
            it->second.writes[name + "/Command"] = "command/" + std::to_string(machine);
    }
}

SparkplugNode::~SparkplugNode() { stop(); }

std::string SparkplugNode::topic(const char *type, const std::string &device) const {
    return "spBv1.0/" + group_ + "/" + type + "/" + edge_ + (device.empty() ? "" : "/" + device);
}

bool SparkplugNode::start(CommandQueue::Submit submit, std::string *error) {
    commands_.start(std::move(submit));
    if (!startClient(error)) return false;
    logLine("Sparkplug: edge node " + group_ + "/" + edge_ + " with " + std::to_string(devices_.size()) +
            " device(s) on " + serve_.mqtt + " (commands " +
            (serve_.allowWrites ? "allowed" : "refused: AllowWrites=0") + ")");
    return true;
}

void SparkplugNode::stop() {
    if (!mosq_) return;
    commands_.stop();
    // Alarms and history the broker has but whose acknowledgement is on its way would be
    // sent again at the next start: wait a little for them.
    waitWhileConnected(
        [this] {
            std::lock_guard lock(mutex_);
            return sender_.idle();
        },
        std::chrono::seconds(3));
    // A clean stop says the death itself (the will is for a connection that breaks), and
    // disconnects once the broker has it: a disconnection with the death still on its way
    // could end as a dropped connection, and the broker would say the will as well.
    int mid = 0;
    bool sent = false;
    {
        std::lock_guard lock(mutex_);
        sent = send(topic("NDEATH"), sparkplug::encode({sparkplug::nowMs(), std::nullopt, {bdSeqMetric()}}), 1, false,
                    &mid);
        deathMid_.store(sent ? mid : -1);
    }
    if (sent) waitWhileConnected([this] { return deathMid_.load() == -1; }, std::chrono::seconds(2));
    stopClient();
}

// Every send under mutex_, so that the seq of each message follows the order on the wire.
void SparkplugNode::sendLocked(const char *type, const std::string &device, std::vector<Metric> metrics, int *mid,
                               bool *sent) {
    sparkplug::Payload p{sparkplug::nowMs(), seq_, std::move(metrics)};
    const bool ok = send(topic(type, device), sparkplug::encode(p), 1, false, mid);
    if (ok) seq_ = (seq_ + 1) % 256;
    if (sent) *sent = ok;
}

void SparkplugNode::beforeConnect() {
    // What the library kept of the last session would go out before the births, with the
    // seq of that session: dropped, and the outbox sends it again. Not connected now, so no
    // send starts; one under way ends before the lock is taken (the library's own locks are
    // not taken under it: its callbacks take it).
    { std::lock_guard lock(mutex_); }
    freshSession();
    // Sent as they come, in order: none waits in the library behind a window of unacknowledged
    // ones (the outbox keeps its own share of them bounded).
    unboundedInFlight();
    std::string will;
    {
        std::lock_guard lock(mutex_);
        bdSeq_ = static_cast<uint64_t>(outbox_.number("sparkplug.bdSeq", -1) + 1) % 256;
        outbox_.setNumber("sparkplug.bdSeq", static_cast<int64_t>(bdSeq_));
        will = sparkplug::encode({sparkplug::nowMs(), std::nullopt, {bdSeqMetric()}});
    }
    setWill(topic("NDEATH"), will, 1, false);
}

Metric SparkplugNode::bdSeqMetric() const {
    Metric bd = nullMetric("bdSeq", DataType::UInt64);
    bd.value = bdSeq_;
    return bd;
}

void SparkplugNode::connectedNow() {
    subscribe(topic("NCMD"));
    subscribe(topic("DCMD") + "/+");
    {
        std::lock_guard lock(mutex_);
        birthsLocked();
    }
    logLine("Sparkplug: connected to " + serve_.mqtt + ", NBIRTH with bdSeq " + std::to_string(bdSeq_));
    flush();
}

void SparkplugNode::disconnectedNow() {
    std::lock_guard lock(mutex_);
    born_ = false;
    for (auto &[key, d] : devices_) d.born = false;
    // Sent again from the outbox after the next births (the library's copies are dropped).
    sender_.restart();
}

void SparkplugNode::birthsLocked() {
    seq_ = 0;
    Metric rebirth = nullMetric(kRebirth, DataType::Boolean);
    rebirth.value = false;
    sendLocked("NBIRTH", "", {bdSeqMetric(), rebirth});
    born_ = true;
    for (auto &[key, d] : devices_)
        if (d.answering) deviceBirthLocked(d);
}

std::vector<Metric> SparkplugNode::itemMetricsLocked(const HeldItem &s, const std::vector<long long> &indexes) const {
    std::vector<Metric> out;
    for (long long index : indexes) {
        const Tag *tag = serve_.tagOf(s.item.name, index);
        Metric m = nullMetric(metricName(serve_, s.item, index), DataType::Double);
        if (auto v = s.values.find(index); v != s.values.end()) m.value = tag ? v->second * tag->scale : v->second;
        m.timestamp = msOf(s.goodTime);
        if (tag) m.unit = tag->unit;
        m.quality = qualityCode(s.quality);
        out.push_back(std::move(m));
    }
    return out;
}

void SparkplugNode::deviceBirthLocked(Device &d) {
    std::vector<Metric> metrics;
    for (const std::string &name : d.items) {
        const HeldItem &s = items_.at(name);
        std::vector<long long> indexes;
        for (int n = s.item.first; n < s.item.first + s.item.count; ++n) indexes.push_back(n);
        auto more = itemMetricsLocked(s, indexes);
        metrics.insert(metrics.end(), more.begin(), more.end());
    }
    if (d.alarms)
        for (const auto &[name, type] : {std::pair{"Alarm/Code", DataType::Int64},
                                         {"Alarm/State", DataType::String},
                                         {"Alarm/Text", DataType::String}})
            metrics.push_back(nullMetric(name, type));
    for (size_t n = 0; n < d.historyWidth; ++n)
        metrics.push_back(nullMetric("History/" + std::to_string(n), DataType::Double));
    for (const auto &[name, write] : d.writes)
        if (write.rfind("command/", 0) == 0) metrics.push_back(nullMetric(name, DataType::String));
    metrics.push_back(nullMetric(kResult, DataType::String));
    bool sent = false;
    sendLocked("DBIRTH", d.id, std::move(metrics), nullptr, &sent);
    d.born = sent;
}

void SparkplugNode::changed(const Item &item, const std::vector<std::pair<long long, double>> &values, OrvelTime time) {
    std::lock_guard lock(mutex_);
    auto held = items_.find(item.name);
    if (held == items_.end()) return;  // added by a SIGHUP: the node's metrics are those of the start
    HeldItem &s = held->second;
    s.read(item, values, time);
    auto d = devices_.find({item.query.target.channel, item.query.target.node});
    if (d == devices_.end() || !d->second.born) return;  // in the next birth
    std::vector<long long> indexes;
    for (const auto &[index, value] : values) indexes.push_back(index);
    sendLocked("DDATA", d->second.id, itemMetricsLocked(s, indexes));
}

void SparkplugNode::itemStatus(const Item &item, Quality quality, OrvelTime lastGood) {
    std::lock_guard lock(mutex_);
    auto held = items_.find(item.name);
    if (held == items_.end()) return;  // (as in changed)
    HeldItem &s = held->second;
    s.status(item, quality, lastGood);
    auto d = devices_.find({item.query.target.channel, item.query.target.node});
    if (d == devices_.end() || !d->second.born) return;
    std::vector<long long> indexes;
    for (int n = item.first; n < item.first + item.count; ++n) indexes.push_back(n);
    sendLocked("DDATA", d->second.id, itemMetricsLocked(s, indexes));
}

void SparkplugNode::station(int channel, uint32_t node, bool answering) {
    std::lock_guard lock(mutex_);
    auto it = devices_.find({channel, node});
    if (it == devices_.end()) return;
    Device &d = it->second;
    d.answering = answering;
    if (!born_) return;  // said at the next births
    if (!answering && d.born) {
        sendLocked("DDEATH", d.id, {});
        d.born = false;
        logLine("Sparkplug: DDEATH of " + d.id + " (the station does not answer)");
    } else if (answering && !d.born) {
        deviceBirthLocked(d);
    }
}

std::vector<OutMessage> SparkplugNode::alarmMessages(const StationTask &station, const cli::Records &records) {
    std::vector<OutMessage> out;
    for (const cli::Record &r : records) {
        const long long code = r.index.value_or(0);
        nlohmann::json j{{"kind", "alarm"},
                         {"channel", station.channel},
                         {"node", station.node},
                         {"code", code},
                         {"state", cli::valueText(r.value)},
                         {"text", serve_.alarmText(station.channel, station.node, code)},
                         {"time", msOf(r.time)}};
        out.push_back({0, stationId(station.channel, station.node, sharedNodes_),
                       j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), false, Sink::Sparkplug});
    }
    return out;
}

std::vector<OutMessage> SparkplugNode::historyMessages(const StationTask &station, const cli::Records &records) {
    // One message per record: the values the station stamped with one time.
    std::vector<OutMessage> out;
    for (size_t i = 0; i < records.size();) {
        const OrvelTime t = records[i].time;
        nlohmann::json values = nlohmann::json::array();
        for (; i < records.size() && records[i].time == t; ++i) {
            const cli::Value &v = records[i].value;
            if (const double *d = std::get_if<double>(&v))
                values.push_back(*d);
            else if (const long long *l = std::get_if<long long>(&v))
                values.push_back(static_cast<double>(*l));
            else
                values.push_back(nullptr);
        }
        nlohmann::json j{{"kind", "history"},
                         {"channel", station.channel},
                         {"node", station.node},
                         {"time", msOf(t)},
                         {"values", values}};
        out.push_back({0, stationId(station.channel, station.node, sharedNodes_), j.dump(), false, Sink::Sparkplug});
    }
    return out;
}

// One outbox message as a DDATA of its device: an alarm's three metrics, or a history
// record's values, stamped with the station's time. A record wider than the device's
// History metrics born so far gets them in a new DBIRTH first.
void SparkplugNode::sendOutboxLocked(const OutMessage &m, int *mid, bool *sent) {
    std::vector<Metric> metrics;
    uint64_t time = 0;
    try {
        time = outboxMetricsLocked(m, &metrics);
    } catch (const nlohmann::json::exception &e) {
        // Not one of ours (written by hand?): nothing to send; taken off as if sent.
        logLine("Sparkplug: outbox message " + std::to_string(m.id) + " is not readable (" + e.what() + "): dropped");
        *sent = true;
        *mid = -1;
        return;
    }
    for (Metric &metric : metrics) {
        metric.timestamp = time;
        metric.dup = m.sentBefore;
    }
    sendLocked("DDATA", m.topic, std::move(metrics), mid, sent);
}

// An outbox message's metrics, and the station's time of them; nlohmann's exceptions for
// a message that is not as this node wrote it.
uint64_t SparkplugNode::outboxMetricsLocked(const OutMessage &m, std::vector<Metric> *out) {
    const nlohmann::json j = nlohmann::json::parse(m.payload);
    std::vector<Metric> &metrics = *out;
    const Key key{j.at("channel").get<int>(), j.at("node").get<uint32_t>()};
    if (j.at("kind").get<std::string>() == "alarm") {
        Metric code = nullMetric("Alarm/Code", DataType::Int64);
        code.value = j.at("code").get<int64_t>();
        Metric state = nullMetric("Alarm/State", DataType::String);
        state.value = j.at("state").get<std::string>();
        Metric text = nullMetric("Alarm/Text", DataType::String);
        text.value = j.at("text").get<std::string>();
        metrics = {code, state, text};
    } else {
        const nlohmann::json &values = j.at("values");
        if (!values.is_array()) throw nlohmann::json::type_error::create(302, "values: not an array", &j);
        if (auto d = devices_.find(key); d != devices_.end() && values.size() > d->second.historyWidth) {
            d->second.historyWidth = values.size();
            if (d->second.born) deviceBirthLocked(d->second);
        }
        for (size_t n = 0; n < values.size(); ++n) {
            Metric v = nullMetric("History/" + std::to_string(n), DataType::Double);
            if (values[n].is_number()) v.value = values[n].get<double>();
            v.historical = true;
            metrics.push_back(std::move(v));
        }
    }
    return j.at("time").get<uint64_t>();
}

void SparkplugNode::flush() {
    std::vector<int64_t> done;
    {
        std::lock_guard lock(mutex_);
        if (!connected() || !born_) return;
        done = sender_.fill([this](const OutMessage &m, int *mid) {
            bool sent = false;
            sendOutboxLocked(m, mid, &sent);
            return sent;
        });
    }
    for (int64_t id : done) outbox_.remove(id);
}

void SparkplugNode::published(int mid) {
    int expected = mid;
    if (deathMid_.compare_exchange_strong(expected, -1)) return;  // the NDEATH of a clean stop
    std::optional<int64_t> id;
    {
        std::lock_guard lock(mutex_);
        id = sender_.acknowledged(mid);  // none: a birth or a value
    }
    if (!id) return;
    outbox_.remove(*id);
    flush();
}

void SparkplugNode::message(const std::string &t, const std::string &payload) {
    const auto p = sparkplug::decode(payload);
    if (!p) {
        logLine("Sparkplug: " + t + ": not a Sparkplug payload (" + std::to_string(payload.size()) +
                " bytes): ignored");
        return;
    }
    if (t == topic("NCMD")) {
        for (const Metric &m : p->metrics)
            if (m.name == kRebirth && std::holds_alternative<bool>(m.value) && std::get<bool>(m.value)) {
                logLine("Sparkplug: rebirth asked for (NCMD)");
                std::lock_guard lock(mutex_);
                if (born_) birthsLocked();
                return;
            }
        logLine("Sparkplug: NCMD without \"" + std::string(kRebirth) + "\" = true: ignored");
        return;
    }
    const std::string prefix = topic("DCMD") + "/";
    if (t.compare(0, prefix.size(), prefix) != 0) return;
    for (const Metric &m : p->metrics) command(t.substr(prefix.size()), m);
}

// A DCMD metric: the write it stands for, checked as a command over MQTT would be, and
// handed to the station; its result (or why it was refused) in "Command/Result".
void SparkplugNode::command(const std::string &deviceId, const Metric &metric) {
    const Device *device = nullptr;
    for (const auto &[key, d] : devices_)
        if (d.id == deviceId) device = &d;
    const auto refuse = [&](const std::string &why) {
        logLine("Sparkplug: DCMD " + deviceId + " '" + metric.name + "' refused: " + why);
        if (device) commandResult({device->channel, device->node}, refusalJson(why));
    };
    if (!device) return refuse("no device '" + deviceId + "'");
    if (!serve_.allowWrites) return refuse("writes are off (AllowWrites=0)");
    const auto write = device->writes.find(metric.name);
    if (write == device->writes.end()) return refuse("'" + metric.name + "' is not a metric that can be written");
    std::string text;
    if (const double *d = std::get_if<double>(&metric.value)) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.15g", *d);
        text = buf;
    } else if (const int64_t *i = std::get_if<int64_t>(&metric.value)) {
        text = std::to_string(*i);
    } else if (const uint64_t *u = std::get_if<uint64_t>(&metric.value)) {
        text = std::to_string(*u);
    } else if (const std::string *s = std::get_if<std::string>(&metric.value)) {
        text = *s;
    } else {
        return refuse("no value");
    }
    // The same check as a command on the MQTT topics: station, setpoint or machine, value.
    std::string why;
    auto request = parseCommand(serve_.mqttPrefix, serve_.mqttPrefix + "/" + deviceId + "/" + write->second + "/set",
                                text, config_, serve_, sharedNodes_, &why);
    if (!request) return refuse(why);
    request->what = "Sparkplug: " + request->what;
    commands_.push(*request, [this, key = Key{device->channel, device->node}](const WriteResult &r) {
        commandResult(key, resultJson(r));
    });
}

void SparkplugNode::commandResult(const Key &key, const std::string &json) {
    std::lock_guard lock(mutex_);
    auto d = devices_.find(key);
    if (d == devices_.end() || !d->second.born) return;
    Metric m = nullMetric(kResult, DataType::String);
    m.value = json;
    m.timestamp = sparkplug::nowMs();
    sendLocked("DDATA", d->second.id, {m});
}

}  // namespace hydrix::serve
