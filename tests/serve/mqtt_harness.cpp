#include "mqtt_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "serve_harness.h"

extern char **environ;

namespace servetest {
namespace {

bool takesConnections(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

extern "C" void subConnect(mosquitto *, void *self, int rc) {
    if (rc == 0) static_cast<Subscriber *>(self)->onConnect();
}
extern "C" void subSubscribe(mosquitto *, void *self, int, int, const int *) {
    static_cast<Subscriber *>(self)->onSubscribe();
}
extern "C" void subMessage(mosquitto *, void *self, const mosquitto_message *m) {
    static_cast<Subscriber *>(self)->onMessage(m);
}

}  // namespace

Broker::Broker() : port_(freePort()) {
    char dir[] = "/tmp/hydrix-broker-XXXXXX";
    dir_ = mkdtemp(dir) ? dir : "/tmp";
    std::ofstream(dir_ + "/mosquitto.conf") << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
                                            << "persistence true\npersistence_location " << dir_ << "/\n"
                                            << "log_dest stderr\nlog_type all\n";
    // Started as root, mosquitto becomes user "mosquitto", who may not write the
    // sessions into this directory: it stays who it is.
    if (geteuid() == 0) std::ofstream(dir_ + "/mosquitto.conf", std::ios::app) << "user root\n";
}

Broker::~Broker() {
    stop();
    std::system(("rm -rf '" + dir_ + "'").c_str());
}

bool Broker::secure(const std::string &user, const std::string &password) {
    const std::string d = "'" + dir_ + "'";
    std::ofstream(dir_ + "/san.ext") << "subjectAltName=IP:127.0.0.1\n";
    const std::string make =
        "cd " + d +
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 1"
        " -subj /CN=hydrix-test-ca && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr"
        " -subj /CN=127.0.0.1 && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial"
        " -out server.crt -days 1 -extfile san.ext && mosquitto_passwd -c -b passwords '" +
        user + "' '" + password + "' && chmod 0700 passwords";
    if (std::system(("(" + make + ") >/dev/null 2>&1").c_str()) != 0) return false;
    std::ofstream(dir_ + "/mosquitto.conf") << "listener " << port_ << " 127.0.0.1\nallow_anonymous false\n"
                                            << "password_file " << dir_ << "/passwords\n"
                                            << "cafile " << dir_ << "/ca.crt\ncertfile " << dir_ << "/server.crt\n"
                                            << "keyfile " << dir_ << "/server.key\n"
                                            << "persistence false\nlog_dest stderr\nlog_type all\n"
                                            << (geteuid() == 0 ? "user root\n" : "");
    return true;
}

bool Broker::start() {
    if (pid_ > 0) return true;
    const std::string conf = dir_ + "/mosquitto.conf", log = dir_ + "/broker.log";
    std::vector<std::string> args{"/usr/sbin/mosquitto", "-c", conf};
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    pid_ = pid;
    return pid_ > 0 && waitUntil(5000, [&] { return takesConnections(port_); });
}

std::string Broker::log() const {
    std::ifstream in(dir_ + "/broker.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t Broker::received(const std::string &topic) const {
    const std::string log_ = log(), quoted = "'" + topic + "'";
    size_t n = 0;
    for (size_t at = log_.find("Received PUBLISH from "); at != std::string::npos;
         at = log_.find("Received PUBLISH from ", at + 1)) {
        const size_t end = log_.find('\n', at);
        if (log_.substr(at, end - at).find(quoted) != std::string::npos) ++n;
    }
    return n;
}

void Broker::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

Subscriber::Subscriber(int port, const std::string &filter) : filter_(filter) {
    mosquitto_lib_init();
    // A session the broker keeps (clean session off): what is published while this
    // client is away reaches it when it is back.
    static std::atomic<int> made{0};
    const std::string id = "hydrix-test-sub-" + std::to_string(getpid()) + "-" + std::to_string(++made);
    mosq_ = mosquitto_new(id.c_str(), false, this);
    mosquitto_connect_callback_set(mosq_, subConnect);
    mosquitto_message_callback_set(mosq_, subMessage);
    mosquitto_subscribe_callback_set(mosq_, subSubscribe);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect_async(mosq_, "127.0.0.1", port, 10);
    mosquitto_loop_start(mosq_);
}

Subscriber::~Subscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);  // not forced: a cancelled thread may hold a lock
    mosquitto_destroy(mosq_);
}

void Subscriber::onConnect() { mosquitto_subscribe(mosq_, nullptr, filter_.c_str(), 1); }

void Subscriber::onMessage(const mosquitto_message *m) {
    std::lock_guard lock(mutex_);
    got_.push_back(
        {m->topic, std::string(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen)), m->retain});
}

std::vector<Received> Subscriber::all() {
    std::lock_guard lock(mutex_);
    return got_;
}

size_t Subscriber::count(const std::string &part) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const Received &r : got_) n += r.topic.find(part) != std::string::npos;
    return n;
}

}  // namespace servetest
