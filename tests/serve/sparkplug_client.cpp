#include "sparkplug_client.h"

#include <sstream>
#include <sys/stat.h>

#include "common/wait.h"

namespace servetest {
namespace {

std::string script() {
    const std::string dir = HYDRIX_SPARKPLUG_CLIENT_DIR;
    struct stat st {};
    if (stat((dir + "/node_modules/sparkplug-payload").c_str(), &st) != 0)
        throw std::runtime_error(dir + "/node_modules is missing: run scripts/test.sh (it runs npm ci there)");
    return dir + "/client.js";
}

}  // namespace

// node from the PATH.
const char *const kEnv = "/usr/bin/env";

SparkplugHost::SparkplugHost(int port, const std::string &clientId)
    : port_(port), watch_(kEnv, {"node", script(), "watch", std::to_string(port), clientId}) {}

bool SparkplugHost::subscribed(int timeoutMs) const {
    return eventually([&] { return watch_.out().find("\"subscribed\":true") != std::string::npos; }, timeoutMs, 20);
}

std::vector<nlohmann::json> SparkplugHost::messages() const {
    std::vector<nlohmann::json> out;
    std::istringstream in(watch_.out());
    std::string line;
    while (std::getline(in, line)) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_discarded() && j.contains("topic")) out.push_back(std::move(j));
    }
    return out;
}

std::vector<nlohmann::json> SparkplugHost::on(const std::string &part) const {
    std::vector<nlohmann::json> out;
    for (auto &m : messages())
        if (m["topic"].get<std::string>().find(part) != std::string::npos) out.push_back(std::move(m));
    return out;
}

bool SparkplugHost::publish(const std::string &topic, const nlohmann::json &metrics, int times) const {
    Process p(kEnv, {"node", script(), "publish", std::to_string(port_), topic, metrics.dump(), std::to_string(times)});
    return p.wait(20000) == 0;
}

nlohmann::json metricOf(const nlohmann::json &message, const std::string &name) {
    for (const auto &m : message.value("metrics", nlohmann::json::array()))
        if (m.value("name", "") == name) return m;
    return nullptr;
}

}  // namespace servetest
