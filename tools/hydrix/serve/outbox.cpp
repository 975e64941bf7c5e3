#include "outbox.h"

#include <sqlite3.h>

namespace hydrix::serve {
namespace {

struct Statement {
    sqlite3_stmt *s = nullptr;
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Statement() { sqlite3_finalize(s); }
    explicit operator bool() const { return s != nullptr; }
};

// Sets the one row a station has in `sql`'s table: channel and node, then the value
// that `bindValue` binds as the third parameter.
template <typename BindValue>
bool upsertStation(sqlite3 *db, const char *sql, int channel, uint32_t node, BindValue bindValue) {
    Statement upsert(db, sql);
    if (!upsert) return false;
    sqlite3_bind_int(upsert.s, 1, channel);
    sqlite3_bind_int64(upsert.s, 2, node);
    bindValue(upsert.s);
    return sqlite3_step(upsert.s) == SQLITE_DONE;
}

}  // namespace

Outbox::~Outbox() {
    if (db_) sqlite3_close(db_);
}

bool Outbox::exec(const char *sql, std::string *error) {
    char *message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    if (error) *error = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

bool Outbox::open(const std::string &path, std::string *error) {
    std::lock_guard lock(mutex_);
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        *error = "outbox " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot open");
        if (db_) sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    std::string why;
    // WAL with a sync at every commit: a record the gateway took is on disk before the
    // next request goes to the station.
    if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
              "CREATE TABLE IF NOT EXISTS outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL,"
              " payload TEXT NOT NULL);"
              "CREATE TABLE IF NOT EXISTS history_resume (channel INTEGER, node INTEGER, after INTEGER,"
              " PRIMARY KEY (channel, node));"
              "CREATE TABLE IF NOT EXISTS alarm_last (channel INTEGER, node INTEGER, identity TEXT,"
              " PRIMARY KEY (channel, node));",
              &why)) {
        *error = "outbox " + path + ": " + why;
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    return true;
}

bool Outbox::add(const std::vector<OutMessage> &messages, const std::optional<Resume> &resume, std::string *error,
                 const std::optional<LastAlarm> &alarm) {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    if (!exec("BEGIN IMMEDIATE", error)) return false;
    bool ok = true;
    {
        Statement insert(db_, "INSERT INTO outbox (topic, payload) VALUES (?, ?)");
        ok = bool(insert);
        for (const OutMessage &m : messages) {
            if (!ok) break;
            sqlite3_bind_text(insert.s, 1, m.topic.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert.s, 2, m.payload.c_str(), -1, SQLITE_TRANSIENT);
            ok = sqlite3_step(insert.s) == SQLITE_DONE;
            sqlite3_reset(insert.s);
        }
        if (ok && resume)
            ok = upsertStation(db_, "INSERT OR REPLACE INTO history_resume (channel, node, after) VALUES (?, ?, ?)",
                               resume->channel, resume->node, [&](sqlite3_stmt *st) {
                                   sqlite3_bind_int64(st, 3, static_cast<sqlite3_int64>(resume->after));
                               });
        if (ok && alarm)
            ok = upsertStation(db_, "INSERT OR REPLACE INTO alarm_last (channel, node, identity) VALUES (?, ?, ?)",
                               alarm->channel, alarm->node, [&](sqlite3_stmt *st) {
                                   sqlite3_bind_text(st, 3, alarm->identity.c_str(), -1, SQLITE_TRANSIENT);
                               });
    }
    if (!ok) {
        if (error) *error = sqlite3_errmsg(db_);
        exec("ROLLBACK", nullptr);
        return false;
    }
    return exec("COMMIT", error);
}

std::vector<OutMessage> Outbox::pending(int64_t after, size_t limit) {
    std::vector<OutMessage> out;
    std::lock_guard lock(mutex_);
    if (!db_) return out;
    Statement q(db_, "SELECT id, topic, payload FROM outbox WHERE id > ? ORDER BY id LIMIT ?");
    if (!q) return out;
    sqlite3_bind_int64(q.s, 1, after);
    sqlite3_bind_int64(q.s, 2, static_cast<sqlite3_int64>(limit));
    while (sqlite3_step(q.s) == SQLITE_ROW) {
        OutMessage m;
        m.id = sqlite3_column_int64(q.s, 0);
        m.topic = reinterpret_cast<const char *>(sqlite3_column_text(q.s, 1));
        m.payload = reinterpret_cast<const char *>(sqlite3_column_text(q.s, 2));
        out.push_back(std::move(m));
    }
    return out;
}

bool Outbox::remove(int64_t id) {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    Statement d(db_, "DELETE FROM outbox WHERE id = ?");
    if (!d) return false;
    sqlite3_bind_int64(d.s, 1, id);
    return sqlite3_step(d.s) == SQLITE_DONE;
}

size_t Outbox::count() {
    std::lock_guard lock(mutex_);
    if (!db_) return 0;
    Statement q(db_, "SELECT COUNT(*) FROM outbox");
    return q && sqlite3_step(q.s) == SQLITE_ROW ? static_cast<size_t>(sqlite3_column_int64(q.s, 0)) : 0;
}

std::map<std::pair<int, uint32_t>, OrvelTime> Outbox::resumePoints() {
    std::map<std::pair<int, uint32_t>, OrvelTime> out;
    std::lock_guard lock(mutex_);
    if (!db_) return out;
    Statement q(db_, "SELECT channel, node, after FROM history_resume");
    while (q && sqlite3_step(q.s) == SQLITE_ROW)
        out[{sqlite3_column_int(q.s, 0), static_cast<uint32_t>(sqlite3_column_int64(q.s, 1))}] =
            static_cast<OrvelTime>(sqlite3_column_int64(q.s, 2));
    return out;
}

std::map<std::pair<int, uint32_t>, std::string> Outbox::lastAlarms() {
    std::map<std::pair<int, uint32_t>, std::string> out;
    std::lock_guard lock(mutex_);
    if (!db_) return out;
    Statement q(db_, "SELECT channel, node, identity FROM alarm_last");
    while (q && sqlite3_step(q.s) == SQLITE_ROW) {
        const unsigned char *text = sqlite3_column_text(q.s, 2);
        out[{sqlite3_column_int(q.s, 0), static_cast<uint32_t>(sqlite3_column_int64(q.s, 1))}] =
            text ? reinterpret_cast<const char *>(text) : "";
    }
    return out;
}

}  // namespace hydrix::serve
