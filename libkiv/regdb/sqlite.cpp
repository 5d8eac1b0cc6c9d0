// SPDX-License-Identifier: Apache-2.0
// RAII wrappers over SQLite connections and statements, with errors turned into result codes.
#include "regdb/sqlite.h"

namespace kiv::regdb::sql {

Connection::~Connection() {
    sqlite3_close_v2(db_);
}

int Connection::open(const char *path, int flags) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
    int rc = sqlite3_open_v2(path, &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    return rc;
}

int Connection::exec(const char *sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

int Statement::prepare(sqlite3 *db, std::string_view sql) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    return sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
}

Run &Run::bind(int index, int64_t value) {
    if (bindResult_ == SQLITE_OK) bindResult_ = sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Run &Run::bind(int index, std::string_view text) {
    // A null pointer would bind SQL NULL; an empty text must stay a text.
    const char *data = text.data() ? text.data() : "";
    if (bindResult_ == SQLITE_OK)
        bindResult_ =
            sqlite3_bind_text64(stmt_, index, data, text.size(), SQLITE_STATIC, SQLITE_UTF8);
    return *this;
}

Run &Run::bindBlob(int index, std::span<const uint8_t> bytes) {
    static const uint8_t kNothing = 0;
    const void *data = bytes.empty() ? &kNothing : bytes.data();
    if (bindResult_ == SQLITE_OK)
        bindResult_ = sqlite3_bind_blob64(stmt_, index, data, bytes.size(), SQLITE_STATIC);
    return *this;
}

int Run::step() {
    if (bindResult_ != SQLITE_OK) return bindResult_;
    return sqlite3_step(stmt_);
}

std::string_view Run::text(int column) const {
    auto *data = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, column));
    int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::string_view(data, static_cast<size_t>(size)) : std::string_view();
}

std::span<const uint8_t> Run::blob(int column) const {
    auto *data = static_cast<const uint8_t *>(sqlite3_column_blob(stmt_, column));
    int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::span<const uint8_t>(data, static_cast<size_t>(size))
                : std::span<const uint8_t>();
}

}  // namespace kiv::regdb::sql
