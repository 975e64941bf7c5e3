// /metrics and /healthz of the gateway: the Prometheus text format read as a real Prometheus
// server reads it (started here on localhost, scraping every second), and the counts it
// holds: requests per line, failures by cause, answer times, the age of each item.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "common/spawn.h"
#include "serve_harness.h"

namespace servetest {
namespace {

std::string get(int port, const std::string &path, int *status = nullptr) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    const auto res = client.Get(path);
    if (status) *status = res ? res->status : -1;
    return res ? res->body : "";
}

// A real Prometheus, scraping the gateway every second; stopped and its data removed at the end.
class Prometheus {
public:
    explicit Prometheus(int target) : port_(freePort()) {
        char dir[] = "/tmp/hydrix-prometheus-XXXXXX";
        dir_ = mkdtemp(dir) ? dir : "/tmp";
        std::ofstream(dir_ + "/prometheus.yml") << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                                   "scrape_configs:\n  - job_name: hydrix\n    static_configs:\n"
                                                   "      - targets: ['127.0.0.1:"
                                                << target << "']\n";
        std::ofstream(dir_ + "/out.log").close();  // the spawn opens them, it does not make them
        std::ofstream(dir_ + "/err.log").close();
        pid_ = spawnWithFiles("/usr/bin/prometheus",
                              {"--config.file=" + dir_ + "/prometheus.yml", "--storage.tsdb.path=" + dir_ + "/data",
                               "--web.listen-address=127.0.0.1:" + std::to_string(port_)},
                              dir_ + "/out.log", dir_ + "/err.log");
    }
    ~Prometheus() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    // The first sample of an instant query, or nothing yet.
    std::optional<double> query(const std::string &promql) {
        httplib::Client client("127.0.0.1", port_);
        const auto res = client.Get("/api/v1/query", httplib::Params{{"query", promql}}, httplib::Headers{});
        if (!res || res->status != 200) return std::nullopt;
        const auto j = nlohmann::json::parse(res->body, nullptr, false);
        if (!j.is_object() || j.value("status", "") != "success") return std::nullopt;
        const auto &result = j["data"]["result"];
        if (!result.is_array() || result.empty()) return std::nullopt;
        return std::stod(result[0]["value"][1].get<std::string>());
    }
    std::string log() const {
        std::ifstream in(dir_ + "/err.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    int port_ = 0, pid_ = -1;
    std::string dir_;
};

TEST(GatewayMetrics, PrometheusScrapesRequestsFailuresByCauseAndItemAgesAndHealthzSaysOk) {
    const int port = freePort();
    // Node 12's report has 15 values: asking for 99 fails with "bad-content" every time.
    const TempFile ini(
        "[Chan0]\nNodes=12\n[Chan0\\Node12]\nPlantNumber=12\n[Serve]\n"
        "Items=12:picture:1:0-2 every=1s, 12:report:1-99 every=1s\nModbus=127.0.0.1:" +
        std::to_string(freePort()) + "\nHttp=127.0.0.1:" + std::to_string(port) + "\n");
    Gateway g({"--config", ini.path(), "--simulate", "serve"});
    ASSERT_TRUE(g.waitForLog("HTTP: /metrics and /healthz on")) << g.log();
    ASSERT_TRUE(g.waitForLog("read failed")) << g.log();
    const std::string text = get(port, "/metrics");
    EXPECT_NE(text.find("# TYPE hydrix_requests_total counter"), std::string::npos) << text;
    EXPECT_NE(text.find("hydrix_request_failures_total{channel=\"0\",cause=\"bad-content\"}"), std::string::npos)
        << text;
    EXPECT_NE(text.find("hydrix_request_seconds_bucket{channel=\"0\",le=\"+Inf\"}"), std::string::npos) << text;
    EXPECT_NE(text.find("hydrix_item_last_good_read_age_seconds{item=\"0/12:report:1-99\"} NaN"), std::string::npos)
        << text;
    EXPECT_NE(text.find("hydrix_modbus_clients 0"), std::string::npos) << text;
    int status = 0;
    EXPECT_EQ(get(port, "/healthz", &status), "ok\n");
    EXPECT_EQ(status, 200);

    Prometheus prometheus(port);
    std::optional<double> requests, failures, age;
    EXPECT_TRUE(waitUntil(60000, [&] {
        requests = prometheus.query("hydrix_requests_total{channel=\"0\"}");
        failures = prometheus.query("hydrix_request_failures_total{cause=\"bad-content\"}");
        age = prometheus.query("hydrix_item_last_good_read_age_seconds{item=\"0/12:picture:1:0-2\"}");
        return requests && failures && age;
    })) << prometheus.log();
    if (requests && failures && age) {
        EXPECT_GE(*requests, 2.0);
        EXPECT_GE(*failures, 1.0);
        EXPECT_LT(*failures, *requests) << "the picture reads succeed";
        EXPECT_LT(*age, 30.0);
    }
    g.signal(SIGTERM);
    EXPECT_EQ(g.wait(10000), 0);
}

}  // namespace
}  // namespace servetest
