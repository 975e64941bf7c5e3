// The outbox: alarms and history records on their way to the broker, on disk (SQLite in
// WAL mode, every commit synced) from the moment the gateway has them until the broker
// has acknowledged them. The station forgets an alarm once the driver has it, so from
// then on this file is the only copy. It also keeps, per station, the time of the last
// history record taken, so that fetching resumes there after a restart, and the alarm
// taken last, so that one the station shows again is not taken twice; each is written in
// one transaction with its messages.
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

struct OutMessage {
    int64_t id = 0;  // given by the outbox
    std::string topic, payload;
};

class Outbox {
public:
    Outbox() = default;
    ~Outbox();
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    bool open(const std::string &path, std::string *error);
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
    // The oldest waiting messages with an id above `after`.
    std::vector<OutMessage> pending(int64_t after, size_t limit);
    // The broker has it.
    bool remove(int64_t id);
    size_t count();
    std::map<std::pair<int, uint32_t>, OrvelTime> resumePoints();
    std::map<std::pair<int, uint32_t>, std::string> lastAlarms();

private:
    bool exec(const char *sql, std::string *error);
    std::mutex mutex_;
    sqlite3 *db_ = nullptr;
};

}  // namespace hydrix::serve
