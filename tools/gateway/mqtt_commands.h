// Commands over MQTT, only with AllowWrites=1 (the same guard as Modbus writes; who may
// publish on these topics is the broker's ACL to decide):
//   <prefix>/<station>/setpoint/<n>/set      the value as text ("4.5"): a setpoint of a
//                                            setpoints item the gateway serves
//   <prefix>/<station>/command/<machine>/set start, stop, auto or block; machine 1 to 255
// Each gets its answer on the same topic with "result" for "set", QoS 1, not retained:
// {"ok":true,"text":".."} once the station confirmed it, else
// {"ok":false,"cause":"..","text":".."} (the cause as in the hydrix --json output).
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "scheduler.h"
#include "serve_config.h"

namespace hydrix::serve {

class MqttPublisher;

struct CommandRequest {
    cli::Query query;
    std::string what;  // for the log: "setpoint 2 of station 12 = 4.5"
};

// The request a message on a command topic stands for; nothing with *why when it is
// refused (a station, setpoint, machine or value that is not one).
std::optional<CommandRequest> parseCommand(const std::string &prefix, const std::string &topic,
                                           const std::string &payload, const cli::Config &config,
                                           const ServeConfig &serve, const std::set<uint32_t> &sharedNodes,
                                           std::string *why);

// The topic filters of the commands, and a command topic's result topic.
std::vector<std::string> commandFilters(const std::string &prefix);
std::string resultTopic(const std::string &setTopic);

// A command's result as published: {"ok":true,"text":".."} or
// {"ok":false,"cause":"..","text":".."}; a refusal before any station heard of it.
std::string resultJson(const WriteResult &result);
std::string refusalJson(const std::string &why);

// Takes commands off a client's thread: one at a time, each through the scheduler to its
// station, `done` called when the station has answered.
class CommandQueue {
public:
    using Submit = std::function<std::future<WriteResult>(const cli::Query &)>;
    using Done = std::function<void(const WriteResult &)>;
    CommandQueue() = default;
    ~CommandQueue();
    void start(Submit submit);
    void stop();  // the worker ends after the command under way
    void push(CommandRequest request, Done done);

private:
    void work();
    Submit submit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<CommandRequest, Done>> queue_;
    bool stopping_ = false;
    std::thread worker_;
};

// The commands of the MQTT topics, their results published on the result topics.
class MqttCommands {
public:
    MqttCommands(MqttPublisher &mqtt, const cli::Config &config, const ServeConfig &serve,
                 std::set<uint32_t> sharedNodes, CommandQueue::Submit submit);
    ~MqttCommands() { stop(); }
    void start();  // subscribes and starts the worker
    void stop();

private:
    void onMessage(const std::string &topic, const std::string &payload);
    MqttPublisher &mqtt_;
    const cli::Config &config_;
    const ServeConfig serve_;
    const std::set<uint32_t> sharedNodes_;
    CommandQueue::Submit submit_;
    CommandQueue queue_;
};

}  // namespace hydrix::serve
