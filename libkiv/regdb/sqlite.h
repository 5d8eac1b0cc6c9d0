// SPDX-License-Identifier: Apache-2.0
// Thin RAII wrappers over the SQLite C interface, as the registry store uses it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <string_view>

namespace kiv::regdb::sql {

// One open database connection; closed at destruction.
class Connection {
  public:
    Connection() = default;
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Opens `path` with the given SQLITE_OPEN_* flags; an SQLite result code.
    int open(const char *path, int flags);
    sqlite3 *get() const { return db_; }
    // Runs statements that return no rows.
    int exec(const char *sql);

  private:
    sqlite3 *db_ = nullptr;
};

// A statement prepared once and reused; finalized at destruction.
class Statement {
  public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    int prepare(sqlite3 *db, std::string_view sql);
    bool prepared() const { return stmt_ != nullptr; }
    sqlite3_stmt *get() const { return stmt_; }

  private:
    sqlite3_stmt *stmt_ = nullptr;
};

// One execution of a prepared statement: bind, step, read columns. Resets the statement and
// clears its bindings when it goes out of scope, so that no read lock outlives the use.
class Run {
  public:
    explicit Run(Statement &statement) : stmt_(statement.get()) {}
    ~Run() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    Run &bind(int index, int64_t value);
    // Text bound as the exact bytes given.
    Run &bind(int index, std::string_view text);
    Run &bindBlob(int index, std::span<const uint8_t> bytes);
    int bindResult() const { return bindResult_; }

    // SQLITE_ROW, SQLITE_DONE or an error; a binding error is reported here.
    int step();

    int64_t int64(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string_view text(int column) const;
    std::span<const uint8_t> blob(int column) const;

  private:
    sqlite3_stmt *stmt_;
    int bindResult_ = SQLITE_OK;
};

}  // namespace kiv::regdb::sql
