// The outbox: alarms and history records on their way to the broker, on disk (SQLite in
// WAL mode, every commit synced) from the moment the gateway has them until the broker
// has acknowledged them. The station forgets an alarm once the driver has it, so from
// then on this file is the only copy. It also keeps, per station, the time of the last
// history record taken, so that fetching resumes there after a restart, and the alarm
// taken last, so that one the station shows again is not taken twice; each is written in
// one transaction with its messages. Each message is for one front end (its sink): the
// MQTT topics, or the Sparkplug edge node; each takes its own messages off in its order.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/hydrix_host.h"

struct sqlite3;

namespace hydrix::serve {

enum class Sink { Mqtt = 0, Sparkplug = 1 };

struct OutMessage {
    int64_t id = 0;  // given by the outbox
    std::string topic, payload;
    bool sentBefore = false;  // handed to the broker once already (by an earlier run)
    Sink sink = Sink::Mqtt;
};

class Outbox {
public:
    Outbox() = default;
    ~Outbox();
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    // Opens (or makes) the file. A file that is no database or a corrupt one is moved
    // aside (to PATH.corrupt-TIME) and a new one made: *note says so. Any other failure:
    // false, with why (the system's error) and what to do in *error.
    bool open(const std::string &path, std::string *error, std::string *note = nullptr);
    // At most this many messages wait (0: no limit); beyond it add() refuses.
    void limit(size_t messages) { limit_ = messages; }
    // Whether a write would go through now: false with why (the disk, a lock held too
    // long, the limit reached).
    bool writable(std::string *why);
    // Adds the messages, and a station's new history resume point when given, at once.
    struct Resume {
        int channel = 0;
        uint32_t node = 0;
        OrvelTime after = 0;
    };
    struct LastAlarm {
        int channel = 0;
        uint32_t node = 0;
        std::string identity;
    };
    bool add(const std::vector<OutMessage> &messages, const std::optional<Resume> &resume, std::string *error,
             const std::optional<LastAlarm> &alarm = std::nullopt);
    // The oldest waiting messages of a sink with an id above `after`.
    std::vector<OutMessage> pending(int64_t after, size_t limit, Sink sink = Sink::Mqtt);
    // Notes on disk that a sink's messages up to `last` are being handed to the broker,
    // before they are: after a crash they go again marked as possible copies.
    bool markSent(int64_t last, Sink sink = Sink::Mqtt);
    // The broker has it.
    bool remove(int64_t id);
    size_t count();
    std::map<std::pair<int, uint32_t>, OrvelTime> resumePoints();
    std::map<std::pair<int, uint32_t>, std::string> lastAlarms();
    // A number the gateway keeps across runs (the Sparkplug bdSeq); `otherwise` when unset.
    int64_t number(const std::string &key, int64_t otherwise);
    bool setNumber(const std::string &key, int64_t value);

private:
    bool exec(const char *sql, std::string *error);
    bool addColumns(std::string *error);
    bool openFile(const std::string &path, std::string *error, int *code);
    size_t countLocked();
    std::mutex mutex_;
    sqlite3 *db_ = nullptr;
    size_t limit_ = 0;
};

}  // namespace hydrix::serve
