#include "journal/journal_store.h"

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace lan2com {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY,"
    " utc_ms INTEGER NOT NULL,"
    " run INTEGER NOT NULL,"
    " event TEXT NOT NULL,"
    " channel INTEGER,"
    " pair INTEGER,"
    " peer TEXT,"
    " peer_port INTEGER,"
    " account TEXT,"
    " digits TEXT,"
    " kind TEXT,"
    " outcome TEXT,"
    " detail TEXT,"
    " count INTEGER NOT NULL DEFAULT 1,"
    " latency_ms INTEGER,"
    " datagram INTEGER);"
    "CREATE INDEX IF NOT EXISTS events_time ON events(utc_ms);";

constexpr const char* kInsert =
    "INSERT INTO events (utc_ms, run, event, channel, pair, peer, peer_port, account, digits,"
    " kind, outcome, detail, count, latency_ms, datagram)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)";

constexpr const char* kRemove =
    "DELETE FROM events WHERE id IN"
    " (SELECT id FROM events WHERE utc_ms < ?1 ORDER BY utc_ms LIMIT ?2)";

// Binds text, or NULL for an empty text (the file stays small).
void bindText(sqlite3_stmt* s, int index, const std::string& text) {
    if (text.empty()) {
        sqlite3_bind_null(s, index);
    } else {
        sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
}

void bindText(sqlite3_stmt* s, int index, const char* text) {
    if (text == nullptr || *text == '\0') {
        sqlite3_bind_null(s, index);
    } else {
        sqlite3_bind_text(s, index, text, -1, SQLITE_STATIC);
    }
}

void bindNumber(sqlite3_stmt* s, int index, std::int64_t value, bool present) {
    if (present) {
        sqlite3_bind_int64(s, index, value);
    } else {
        sqlite3_bind_null(s, index);
    }
}

}  // namespace

struct JournalStore::Statements {
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* remove = nullptr;
};

std::string defaultJournalPath() {
    namespace fs = std::filesystem;
#ifdef _WIN32
    // The wide environment: the narrow one has the folder in the ANSI code page, where a
    // Cyrillic account name may not even be written.
    const wchar_t* base = _wgetenv(L"LOCALAPPDATA");
    fs::path folder = base != nullptr && *base != L'\0' ? fs::path(base) : fs::path(L".");
    return (folder / "lan2com" / "journal.sqlite").u8string();
#else
    const char* xdg = std::getenv("XDG_DATA_HOME");
    fs::path folder;
    if (xdg != nullptr && xdg[0] == '/') {
        folder = xdg;
    } else {
        const char* home = std::getenv("HOME");
        folder = fs::path(home != nullptr ? home : ".") / ".local" / "share";
    }
    return (folder / "lan2com" / "journal.sqlite").string();
#endif
}

JournalStore::JournalStore(const std::string& path, Mode mode) {
    if (mode == Mode::Write) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::u8path(path).parent_path(), ignored);
    }
    const int flags =
        mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw JournalError(path + ": " + message);
    }
    statements_ = new Statements;
    try {
        if (mode == Mode::Write) {
            sqlite3_busy_timeout(db_, 100);
            exec("PRAGMA journal_mode=WAL");
            // Committed rows survive the program's end, however it ends; only a power failure may
            // take the last ones.
            exec("PRAGMA synchronous=NORMAL");
            exec(kSchema);
            if (sqlite3_prepare_v2(db_, kInsert, -1, &statements_->insert, nullptr) != SQLITE_OK ||
                sqlite3_prepare_v2(db_, kRemove, -1, &statements_->remove, nullptr) != SQLITE_OK) {
                throw JournalError(sqlite3_errmsg(db_));
            }
        } else {
            sqlite3_busy_timeout(db_, 2000);
        }
    } catch (...) {
        sqlite3_finalize(statements_->insert);
        sqlite3_finalize(statements_->remove);
        delete statements_;
        sqlite3_close(db_);
        throw;
    }
}

JournalStore::~JournalStore() {
    sqlite3_finalize(statements_->insert);
    sqlite3_finalize(statements_->remove);
    delete statements_;
    sqlite3_close(db_);
}

void JournalStore::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error != nullptr ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        throw JournalError(message);
    }
}

void JournalStore::append(const std::vector<JournalRow>& rows, std::int64_t run) {
    if (rows.empty()) {
        return;
    }
    exec("BEGIN");
    sqlite3_stmt* s = statements_->insert;
    for (const JournalRow& r : rows) {
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, r.utcMs);
        sqlite3_bind_int64(s, 2, run);
        sqlite3_bind_text(s, 3, journalEventName(r.event), -1, SQLITE_STATIC);
        bindNumber(s, 4, r.channel, r.channel != 0);
        bindNumber(s, 5, r.pair, r.channel != 0);
        bindText(s, 6, r.peer);
        bindNumber(s, 7, r.peerPort, r.peerPort != 0);
        bindText(s, 8, accountOf(r.digits));
        bindText(s, 9, r.digits);
        bindText(s, 10, r.kind);
        bindText(s, 11, r.outcome);
        bindText(s, 12, r.detail);
        sqlite3_bind_int64(s, 13, r.count);
        bindNumber(s, 14, r.latencyMs, r.latencyMs >= 0);
        bindNumber(s, 15, static_cast<std::int64_t>(r.datagram), r.datagram != 0);
        if (sqlite3_step(s) != SQLITE_DONE) {
            const std::string message = sqlite3_errmsg(db_);
            sqlite3_reset(s);
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw JournalError(message);
        }
    }
    sqlite3_reset(s);
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw JournalError(message);
    }
}

int JournalStore::removeOlderThan(std::int64_t beforeUtcMs, int limit) {
    sqlite3_stmt* s = statements_->remove;
    sqlite3_reset(s);
    sqlite3_bind_int64(s, 1, beforeUtcMs);
    sqlite3_bind_int(s, 2, limit);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) {
        throw JournalError(sqlite3_errmsg(db_));
    }
    return sqlite3_changes(db_);
}

}  // namespace lan2com
