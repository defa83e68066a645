#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "journal/journal_row.h"

struct sqlite3;

namespace lan2com {

// A failure of the journal's database; the message is SQLite's.
class JournalError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The journal's file, in UTF-8 as every journal path is: $XDG_DATA_HOME/lan2com/journal.sqlite
// (~/.local/share/lan2com without XDG_DATA_HOME) on Linux; %LOCALAPPDATA%\lan2com\journal.sqlite
// on Windows, whatever characters the account's folder has.
std::string defaultJournalPath();

// The journal's database, opened for writing (WAL mode) or for reading only.
class JournalStore {
  public:
    enum class Mode { Write, Read };
    // Creates the file, its folder and its table when writing. Raises JournalError. The path is
    // UTF-8 (SQLite's own file names are).
    JournalStore(const std::string& path, Mode mode);
    ~JournalStore();
    JournalStore(const JournalStore&) = delete;
    JournalStore& operator=(const JournalStore&) = delete;

    // Writes the rows in one transaction: all or none. `run` names the program's run (the
    // datagram numbers start again with each). Raises JournalError; nothing is written then.
    void append(const std::vector<JournalRow>& rows, std::int64_t run);
    // Deletes at most `limit` rows older than `beforeUtcMs`; answers how many went.
    int removeOlderThan(std::int64_t beforeUtcMs, int limit);

    sqlite3* db() const { return db_; }

  private:
    void exec(const char* sql);
    sqlite3* db_ = nullptr;
    struct Statements;
    Statements* statements_ = nullptr;
};

}  // namespace lan2com
