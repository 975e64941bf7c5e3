#include "mqtt_commands.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "inputs.h"
#include "mqtt.h"
#include "output.h"

namespace hydrix::serve {
namespace {

std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at = text.find(sep); at != std::string::npos; at = text.find(sep, start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// A whole decimal number in [lo, hi], nothing else.
std::optional<long> wholeNumber(const std::string &text, long lo, long hi) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const long v = std::stol(text);
    return v >= lo && v <= hi ? std::optional<long>(v) : std::nullopt;
}

// A JSON string of the text (what a station or a client sent may hold anything).
std::string jsonString(const std::string &s) {
    return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::vector<std::string> commandFilters(const std::string &prefix) {
    return {prefix + "/+/setpoint/+/set", prefix + "/+/command/+/set"};
}

std::string resultTopic(const std::string &setTopic) { return setTopic.substr(0, setTopic.size() - 3) + "result"; }

std::optional<CommandRequest> parseCommand(const std::string &prefix, const std::string &topic,
                                           const std::string &payload, const cli::Config &config,
                                           const ServeConfig &serve, const std::set<uint32_t> &sharedNodes,
                                           std::string *why) {
    if (topic.compare(0, prefix.size() + 1, prefix + "/") != 0) return *why = "not a command topic", std::nullopt;
    const auto parts = split(topic.substr(prefix.size() + 1), '/');
    if (parts.size() != 4 || parts[3] != "set" || (parts[1] != "setpoint" && parts[1] != "command"))
        return *why = "not a command topic", std::nullopt;
    // The station: NODE, or CHANNEL-NODE for a node number on more than one channel.
    std::optional<int> channel;
    std::string node = parts[0];
    if (const size_t dash = node.find('-'); dash != std::string::npos) {
        const auto c = wholeNumber(node.substr(0, dash), 0, HYDRIX_CHANNELS - 1);
        if (!c) return *why = "no station '" + parts[0] + "'", std::nullopt;
        channel = static_cast<int>(*c);
        node = node.substr(dash + 1);
    }
    const auto n = wholeNumber(node, 0, 0xFFFFFFFFL);
    std::string error;
    const auto target = n ? cli::findTarget(config, channel, *n, &error) : std::nullopt;
    if (!target) return *why = "no station '" + parts[0] + "'" + (error.empty() ? "" : ": " + error), std::nullopt;
    if (!channel && sharedNodes.count(target->node))
        return *why = "node " + node + " is on more than one channel: write CHANNEL-NODE", std::nullopt;
    const std::string station = "station " + parts[0];
    CommandRequest r;
    r.query.target = *target;
    if (parts[1] == "setpoint") {
        const auto number = wholeNumber(parts[2], 1, 127);
        if (!number) return *why = "no setpoint '" + parts[2] + "' (1 to 127)", std::nullopt;
        const Item *served = nullptr;
        for (const Item &item : serve.items)
            if (item.setpoints() && item.query.target.channel == target->channel &&
                item.query.target.node == target->node && *number >= item.first && *number < item.first + item.count)
                served = &item;
        if (!served) return *why = "setpoint " + parts[2] + " of " + station + " is not served (Items)", std::nullopt;
        std::string bad;
        const auto value = cli::parseSetpointValue(payload, &bad);
        if (!value) return *why = bad, std::nullopt;
        r.query.what = cli::What::WriteSetpoint;
        r.query.setpoint = static_cast<int>(*number);
        r.query.value = *value;
        r.query.valueText = payload;
        // The value as served is the station's number times the tag's scale.
        if (const Tag *tag = serve.tagOf(served->name, *number); tag && tag->scale != 1) {
            r.query.value = *value / tag->scale;
            char text[32];
            std::snprintf(text, sizeof text, "%.9g", r.query.value);
            r.query.valueText = text;
        }
        r.what = "setpoint " + parts[2] + " of " + station + " = " + payload;
        return r;
    }
    const auto machine = wholeNumber(parts[2], 1, 255);
    if (!machine) return *why = "no machine '" + parts[2] + "' (1 to 255)", std::nullopt;
    static const std::pair<const char *, char> kCommands[] = {
        {"start", 'M'}, {"stop", 'F'}, {"auto", 'N'}, {"block", 'B'}};
    for (const auto &[name, letter] : kCommands)
        if (payload == name) {
            r.query.what = cli::What::Command;
            r.query.letter = letter;
            r.query.machine = static_cast<int>(*machine);
            r.query.item = 1;
            r.what = std::string(name) + " machine " + parts[2] + " of " + station;
            return r;
        }
    return *why = "'" + payload + "' is no command: start, stop, auto or block", std::nullopt;
}

std::string resultJson(const WriteResult &r) {
    return r.ok ? "{\"ok\":true,\"text\":" + jsonString(r.text) + "}"
                : "{\"ok\":false,\"cause\":\"" + std::string(cli::causeKey(r.cause)) +
                      "\",\"text\":" + jsonString(r.text) + "}";
}

std::string refusalJson(const std::string &why) { return resultJson(WriteResult{false, why, cli::Cause::BadRequest}); }

CommandQueue::~CommandQueue() { stop(); }

void CommandQueue::start(Submit submit) {
    submit_ = std::move(submit);
    worker_ = std::thread([this] { work(); });
}

void CommandQueue::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void CommandQueue::push(CommandRequest request, Done done) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({std::move(request), std::move(done)});
    }
    wake_.notify_all();
}

void CommandQueue::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        auto [request, done] = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        const WriteResult r = submit_(request.query).get();
        logLine(request.what + ": " + r.text);
        done(r);
        lock.lock();
    }
}

MqttCommands::MqttCommands(MqttPublisher &mqtt, const cli::Config &config, const ServeConfig &serve,
                           std::set<uint32_t> sharedNodes, CommandQueue::Submit submit)
    : mqtt_(mqtt), config_(config), serve_(serve), sharedNodes_(std::move(sharedNodes)), submit_(std::move(submit)) {}

void MqttCommands::start() {
    queue_.start(submit_);
    for (const std::string &filter : commandFilters(serve_.mqttPrefix))
        mqtt_.listen(filter, [this](const std::string &t, const std::string &p) { onMessage(t, p); });
    logLine("MQTT: commands taken on " + serve_.mqttPrefix +
            "/<station>/setpoint/<n>/set and .../command/<machine>/set");
}

void MqttCommands::stop() { queue_.stop(); }

void MqttCommands::onMessage(const std::string &topic, const std::string &payload) {
    std::string why;
    auto request = parseCommand(serve_.mqttPrefix, topic, payload, config_, serve_, sharedNodes_, &why);
    if (!request) {
        logLine("MQTT: " + topic + " '" + payload + "' refused: " + why);
        mqtt_.publishResult(resultTopic(topic), refusalJson(why));
        return;
    }
    request->what = "MQTT: " + request->what;
    queue_.push(*request, [this, result = resultTopic(topic)](const WriteResult &r) {
        mqtt_.publishResult(result, resultJson(r));
    });
}

}  // namespace hydrix::serve
