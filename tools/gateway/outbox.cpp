#include "outbox.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

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

// An outbox written before messages were marked as sent gets the column: its messages
// count as never sent. One written before messages had a sink: they are all for the MQTT
// topics.
bool Outbox::addColumns(std::string *error) {
    for (const char *column : {"sent", "sink"}) {
        {
            Statement probe(db_, ("SELECT " + std::string(column) + " FROM outbox LIMIT 0").c_str());
            if (probe) continue;
        }
        if (!exec(("ALTER TABLE outbox ADD COLUMN " + std::string(column) + " INTEGER NOT NULL DEFAULT 0").c_str(),
                  error))
            return false;
    }
    return true;
}

bool Outbox::openFile(const std::string &path, std::string *error, int *code) {
    *code = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                            nullptr);
    if (*code == SQLITE_OK) {
        // A write waits this long for a lock another program holds, then fails.
        sqlite3_busy_timeout(db_, 5000);
        // WAL with a sync at every commit: a record the gateway took is on disk before the
        // next request goes to the station.
        if (exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                 "CREATE TABLE IF NOT EXISTS outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL,"
                 " payload TEXT NOT NULL, sent INTEGER NOT NULL DEFAULT 0, sink INTEGER NOT NULL DEFAULT 0);"
                 "CREATE TABLE IF NOT EXISTS history_resume (channel INTEGER, node INTEGER, after INTEGER,"
                 " PRIMARY KEY (channel, node));"
                 "CREATE TABLE IF NOT EXISTS alarm_last (channel INTEGER, node INTEGER, identity TEXT,"
                 " PRIMARY KEY (channel, node));"
                 "CREATE TABLE IF NOT EXISTS numbers (key TEXT PRIMARY KEY, value INTEGER);"
                 "PRAGMA quick_check;",
                 error) &&
            addColumns(error))
            return true;
        *code = sqlite3_errcode(db_);
    } else {
        *error = db_ ? sqlite3_errmsg(db_) : "cannot open";
    }
    const int sys = db_ ? sqlite3_system_errno(db_) : 0;
    if (sys != 0) *error += std::string(" (") + std::strerror(sys) + ")";
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    return false;
}

bool Outbox::open(const std::string &path, std::string *error, std::string *note) {
    std::lock_guard lock(mutex_);
    std::string why;
    int code = 0;
    if (openFile(path, &why, &code)) return true;
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) {
        // What it held cannot be read back: kept for a look, and the gateway goes on.
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", std::gmtime(&now));
        const std::string aside = path + ".corrupt-" + stamp;
        if (std::rename(path.c_str(), aside.c_str()) == 0) {
            for (const char *suffix : {"-wal", "-shm"}) std::remove((path + suffix).c_str());
            std::string again;
            if (openFile(path, &again, &code)) {
                if (note)
                    *note = "outbox " + path + " was unreadable (" + why + "): moved aside to " + aside +
                            ", a new outbox started (messages in the old one are not sent)";
                return true;
            }
            why = again;
        } else {
            why += std::string("; moving it aside failed: ") + std::strerror(errno);
        }
    }
    *error = "outbox " + path + ": " + why +
             ": the gateway needs to write there (check the directory, its owner and free space, or set Outbox=)";
    return false;
}

size_t Outbox::countLocked() {
    Statement q(db_, "SELECT COUNT(*) FROM outbox");
    return q && sqlite3_step(q.s) == SQLITE_ROW ? static_cast<size_t>(sqlite3_column_int64(q.s, 0)) : 0;
}

bool Outbox::writable(std::string *why) {
    std::lock_guard lock(mutex_);
    if (!db_) {
        *why = "the outbox is not open";
        return false;
    }
    if (limit_ > 0 && countLocked() >= limit_) {
        *why = "the outbox is full: " + std::to_string(limit_) + " messages wait for the broker (OutboxLimit)";
        return false;
    }
    // Takes the write lock, waiting as a write would (a full disk shows only at a commit).
    if (!exec("BEGIN IMMEDIATE; ROLLBACK;", why)) {
        exec("ROLLBACK", nullptr);
        return false;
    }
    return true;
}

bool Outbox::add(const std::vector<OutMessage> &messages, const std::optional<Resume> &resume, std::string *error,
                 const std::optional<LastAlarm> &alarm) {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    if (limit_ > 0 && !messages.empty() && countLocked() + messages.size() > limit_) {
        if (error) *error = "the outbox is full (OutboxLimit " + std::to_string(limit_) + ")";
        return false;
    }
    if (!exec("BEGIN IMMEDIATE", error)) return false;
    bool ok = true;
    {
        Statement insert(db_, "INSERT INTO outbox (topic, payload, sink) VALUES (?, ?, ?)");
        ok = bool(insert);
        for (const OutMessage &m : messages) {
            if (!ok) break;
            sqlite3_bind_text(insert.s, 1, m.topic.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert.s, 2, m.payload.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert.s, 3, static_cast<int>(m.sink));
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
    if (exec("COMMIT", error)) return true;
    exec("ROLLBACK", nullptr);  // a failed COMMIT may leave the transaction open
    return false;
}

std::vector<OutMessage> Outbox::pending(int64_t after, size_t limit, Sink sink) {
    std::vector<OutMessage> out;
    std::lock_guard lock(mutex_);
    if (!db_) return out;
    Statement q(db_, "SELECT id, topic, payload, sent FROM outbox WHERE id > ? AND sink = ? ORDER BY id LIMIT ?");
    if (!q) return out;
    sqlite3_bind_int64(q.s, 1, after);
    sqlite3_bind_int(q.s, 2, static_cast<int>(sink));
    sqlite3_bind_int64(q.s, 3, static_cast<sqlite3_int64>(limit));
    while (sqlite3_step(q.s) == SQLITE_ROW) {
        OutMessage m;
        m.id = sqlite3_column_int64(q.s, 0);
        m.sink = sink;
        m.topic = reinterpret_cast<const char *>(sqlite3_column_text(q.s, 1));
        m.payload = reinterpret_cast<const char *>(sqlite3_column_text(q.s, 2));
        m.sentBefore = sqlite3_column_int(q.s, 3) != 0;
        out.push_back(std::move(m));
    }
    return out;
}

bool Outbox::markSent(int64_t last, Sink sink) {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    Statement u(db_, "UPDATE outbox SET sent = 1 WHERE id <= ? AND sent = 0 AND sink = ?");
    if (!u) return false;
    sqlite3_bind_int64(u.s, 1, last);
    sqlite3_bind_int(u.s, 2, static_cast<int>(sink));
    return sqlite3_step(u.s) == SQLITE_DONE;
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
    return db_ ? countLocked() : 0;
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

int64_t Outbox::number(const std::string &key, int64_t otherwise) {
    std::lock_guard lock(mutex_);
    if (!db_) return otherwise;
    Statement q(db_, "SELECT value FROM numbers WHERE key = ?");
    if (!q) return otherwise;
    sqlite3_bind_text(q.s, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    return sqlite3_step(q.s) == SQLITE_ROW ? sqlite3_column_int64(q.s, 0) : otherwise;
}

bool Outbox::setNumber(const std::string &key, int64_t value) {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    Statement u(db_, "INSERT OR REPLACE INTO numbers (key, value) VALUES (?, ?)");
    if (!u) return false;
    sqlite3_bind_text(u.s, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(u.s, 2, value);
    return sqlite3_step(u.s) == SQLITE_DONE;
}

}  // namespace hydrix::serve
