// SPDX-License-Identifier: Apache-2.0
// The registry store: keys and typed values in one SQLite file, with checked opening and writes.
#include "regdb/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <vector>

#include "regdb/sqlite.h"

namespace kiv::regdb {

namespace {

namespace fs = std::filesystem;

// Writers wait this long for another connection's write to finish before giving up.
constexpr int kBusyTimeoutMs = 10000;
// Modes of a new store file and of the folders made for it.
constexpr fs::perms kUserFolderMode = fs::perms::owner_all;
constexpr fs::perms kMachineFolderMode = fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec;
// WAL commits are atomic without a sync of their own; Key::flush makes them durable. The WAL
// file, kept between connections, is truncated to 1 MiB after a checkpoint.
constexpr const char *kSettings =
    "PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = 1048576;";
constexpr int64_t kSchemaVersion = 1;
constexpr const char *kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: a stale handle stays stale
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, parent, name) VALUES(1, 0, 'Software');"
    "PRAGMA user_version = 1;";

WinError fromSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return win::kSuccess;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return win::kLockViolation;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return win::kAccessDenied;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
            return win::kBadDatabase;
        case SQLITE_FULL:
            return win::kDiskFull;
        case SQLITE_NOMEM:
            return win::kNotEnoughMemory;
        case SQLITE_TOOBIG:
            return win::kInvalidParameter;
        case SQLITE_CANTOPEN:
            return win::kCannotOpen;
        default:
            return win::kIoFailed;
    }
}

bool accessible(const fs::path &path, int mode) {
    return ustCheckAccess(path.c_str(), static_cast<uint32_t>(mode)) == 0;
}

fs::path folderOf(const std::string &file) {
    fs::path folder = fs::path(file).parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

bool exists(const fs::path &path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// Whether this process can change the file at `path`, or create it when it is missing.
bool fileWritable(const std::string &path) {
    fs::path folder = folderOf(path);
    if (exists(path)) return accessible(path, W_OK) && accessible(folder, W_OK | X_OK);
    for (;;) {
        std::error_code ec;
        if (fs::exists(folder, ec))
            return fs::is_directory(folder, ec) && accessible(folder, W_OK | X_OK);
        fs::path up = folder.parent_path();
        if (up.empty() || up == folder) return false;
        folder = up;
    }
}

// Makes `folder` and every missing folder above it with `mode` (exactly, whatever the umask).
WinError makeFolders(const fs::path &folder, fs::perms mode) {
    std::error_code ec;
    if (fs::is_directory(folder, ec)) return win::kSuccess;
    fs::path up = folder.parent_path();
    if (!up.empty() && up != folder)
        if (WinError e = makeFolders(up, mode)) return e;
    if (fs::create_directory(folder, ec)) fs::permissions(folder, mode, ec);
    if (ec) return ec == std::errc::permission_denied ? win::kAccessDenied : win::kCannotOpen;
    return win::kSuccess;
}

// Syncs a folder, so that a name just linked into it survives a machine crash.
void syncFolder(const fs::path &folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Case-insensitive order of names, as the NOCASE collation compares them: ASCII letters folded,
// then bytes, then length.
int compareNames(std::string_view a, std::string_view b) {
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int d = fold(static_cast<unsigned char>(a[i])) - fold(static_cast<unsigned char>(b[i]));
        if (d) return d;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// Splits a backslash-separated subkey path; a trailing backslash is allowed.
WinError splitPath(std::string_view path, std::vector<std::string_view> &parts) {
    parts.clear();
    if (path.empty()) return win::kSuccess;
    if (path.front() == '\\') return win::kBadPathname;
    if (path.back() == '\\') path.remove_suffix(1);
    for (;;) {
        size_t end = path.find('\\');
        std::string_view part = path.substr(0, end);
        if (part.empty()) return win::kBadPathname;
        if (part.size() > kMaxKeyNameLength) return win::kInvalidParameter;
        parts.push_back(part);
        if (end == std::string_view::npos) return win::kSuccess;
        path.remove_prefix(end + 1);
    }
}

}  // namespace

// A connection with its statements, prepared on first use.
class Store::Connection {
  public:
    enum Id {
        kBeginWrite,
        kBeginRead,
        kCommit,
        kRollback,
        kKeyExists,
        kFindChild,
        kParentOf,
        kInsertKey,
        kHasChildren,
        kDeleteValues,
        kDeleteKey,
        kAllChildren,
        kAllValues,
        kSetValue,
        kQueryValue,
        kDeleteValue,
        kCount
    };

    // Opens the file (read-write when `writable`) and, for writing, sets up WAL and the
    // schema. `initialised` tells whether the schema exists.
    WinError open(const std::string &path, bool writable, bool &initialised);

    bool readOnly() const { return readOnly_; }
    sqlite3 *db() const { return db_.get(); }
    WinError statement(Id id, sql::Statement *&out);
    WinError error(int rc) const { return fromSqlite(rc); }

  private:
    // Sets up WAL and the schema on a connection that may write: all of it on a new file under
    // its temporary name; on an existing store only what an interrupted set-up left undone.
    WinError initialise(int64_t &version);
    WinError schemaVersion(int64_t &version);
    WinError createSchema();
    WinError switchToWal();
    WinError checkStructure();

    sql::Connection db_;
    bool readOnly_ = true;
    sql::Statement statements_[kCount];
};

namespace {

constexpr std::string_view kSql[] = {
    "BEGIN IMMEDIATE",
    "BEGIN",
    "COMMIT",
    "ROLLBACK",
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT id FROM keys WHERE parent = ?1 AND name = ?2",
    "SELECT parent FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name) VALUES(?1, ?2)",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM vals WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
    "SELECT name FROM keys WHERE parent = ?1 ORDER BY name",
    "SELECT name FROM vals WHERE key = ?1 ORDER BY name",
    kSetValueSql,
    kQueryValueSql,
    "DELETE FROM vals WHERE key = ?1 AND name = ?2",
};
static_assert(std::size(kSql) == Store::Connection::kCount);

using Conn = Store::Connection;

// Runs a statement that returns no rows (or whose rows do not matter).
WinError execute(Conn &c, Conn::Id id) {
    sql::Statement *s = nullptr;
    if (WinError e = c.statement(id, s)) return e;
    sql::Run run(*s);
    return c.error(run.step());
}

// A transaction that rolls back unless committed.
class Transaction {
  public:
    explicit Transaction(Conn &c) : c_(c) {}
    ~Transaction() {
        if (active_) execute(c_, Conn::kRollback);
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    // A write transaction takes the write lock at once: a read that later upgrades to a write
    // would fail without waiting when another process wrote in between.
    WinError begin(bool write) {
        WinError e = execute(c_, write ? Conn::kBeginWrite : Conn::kBeginRead);
        active_ = e == win::kSuccess;
        return e;
    }
    WinError commit() {
        WinError e = execute(c_, Conn::kCommit);
        if (e == win::kSuccess) active_ = false;
        return e;
    }

  private:
    Conn &c_;
    bool active_ = false;
};

// ERROR_KEY_DELETED unless the key's row exists.
WinError checkExists(Conn &c, int64_t id) {
    sql::Statement *s = nullptr;
    if (WinError e = c.statement(Conn::kKeyExists, s)) return e;
    sql::Run run(*s);
    run.bind(1, id);
    int rc = run.step();
    if (rc == SQLITE_ROW) return win::kSuccess;
    return rc == SQLITE_DONE ? win::kKeyDeleted : c.error(rc);
}

// The parent of key `id` as its own row says. Lookups by name go through the (parent, name)
// index; checking each step against the row catches an index entry that points somewhere else,
// which could otherwise lead a walk in circles.
WinError checkParent(Conn &c, int64_t id, int64_t parent) {
    sql::Statement *s = nullptr;
    if (WinError e = c.statement(Conn::kParentOf, s)) return e;
    sql::Run run(*s);
    run.bind(1, id);
    int rc = run.step();
    if (rc == SQLITE_ROW) return run.int64(0) == parent && id != parent ? 0 : win::kBadDatabase;
    return rc == SQLITE_DONE ? win::kBadDatabase : c.error(rc);
}

WinError findChild(Conn &c, int64_t parent, std::string_view name, int64_t &child) {
    sql::Statement *s = nullptr;
    if (WinError e = c.statement(Conn::kFindChild, s)) return e;
    int64_t found = 0;
    {
        sql::Run run(*s);
        run.bind(1, parent).bind(2, name);
        int rc = run.step();
        if (rc == SQLITE_DONE) return win::kFileNotFound;
        if (rc != SQLITE_ROW) return c.error(rc);
        found = run.int64(0);
    }
    if (WinError e = checkParent(c, found, parent)) return e;
    child = found;
    return win::kSuccess;
}

// Follows `parts` down from `id`. A missing first step is told apart from a deleted start.
WinError walk(Conn &c, int64_t &id, const std::vector<std::string_view> &parts) {
    if (parts.empty()) return checkExists(c, id);
    for (size_t i = 0; i < parts.size(); ++i) {
        WinError e = findChild(c, id, parts[i], id);
        if (e == win::kFileNotFound && i == 0) {
            WinError gone = checkExists(c, id);
            if (gone) return gone;
        }
        if (e) return e;
    }
    return win::kSuccess;
}

WinError insertKey(Conn &c, int64_t parent, std::string_view name, int64_t &id) {
    sql::Statement *s = nullptr;
    if (WinError e = c.statement(Conn::kInsertKey, s)) return e;
    sql::Run run(*s);
    run.bind(1, parent).bind(2, name);
    int rc = run.step();
    if (rc != SQLITE_DONE) return c.error(rc);
    id = sqlite3_last_insert_rowid(c.db());
    return win::kSuccess;
}

WinError runWithKey(Conn &c, Conn::Id id, int64_t key) {
    sql::Statement *s = nullptr;
    if (WinError e = c.statement(id, s)) return e;
    sql::Run run(*s);
    run.bind(1, key);
    return c.error(run.step());
}

// Runs one statement that changes a row of an existing key, in a write transaction of its own;
// `bind` binds the statement's arguments. With `mustChange`, a statement that changed no row
// gives ERROR_FILE_NOT_FOUND.
template <typename Bind>
WinError changeKey(Conn &c, int64_t key, Conn::Id id, bool mustChange, Bind bind) {
    Transaction t(c);
    if (WinError e = t.begin(true)) return e;
    if (WinError e = checkExists(c, key)) return e;
    sql::Statement *s = nullptr;
    if (WinError e = c.statement(id, s)) return e;
    {
        sql::Run run(*s);
        bind(run);
        if (int rc = run.step(); rc != SQLITE_DONE) return c.error(rc);
    }
    if (mustChange && sqlite3_changes(c.db()) == 0) return win::kFileNotFound;
    return t.commit();
}

// What an operation on a key answers while the store file does not exist: only the top key
// exists, and it is empty.
WinError answerForAbsentStore(int64_t id, WinError forTopKey) {
    return id == Key::kTopKeyId ? forTopKey : win::kKeyDeleted;
}

}  // namespace

WinError Store::Connection::open(const std::string &path, bool writable, bool &initialised) {
    initialised = false;
    readOnly_ = !writable;
    // The store's own mutex serialises every use of the connection.
    int flags = SQLITE_OPEN_NOMUTEX |
                (writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY);
    if (int rc = db_.open(path.c_str(), flags)) return fromSqlite(rc);
    sqlite3_busy_timeout(db(), kBusyTimeoutMs);

    int64_t version = 0;
    if (writable) {
        // Keeping the WAL and shared-memory files after the last connection closes lets
        // processes that may not create files in the store's folder still read it.
        int persist = 1;
        sqlite3_file_control(db(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        if (WinError e = initialise(version)) return e;
    } else if (WinError e = schemaVersion(version)) {
        return e;
    }
    if (version > kSchemaVersion) return win::kBadDatabase;
    initialised = version != 0;
    if (!initialised) return win::kSuccess;
    return checkStructure();
}

WinError Store::Connection::initialise(int64_t &version) {
    if (WinError e = switchToWal()) return e;
    if (int rc = db_.exec(kSettings)) return fromSqlite(rc);
    if (WinError e = schemaVersion(version)) return e;
    if (version == 0) {
        if (WinError e = createSchema()) return e;
        version = kSchemaVersion;
    }
    return win::kSuccess;
}

WinError Store::Connection::switchToWal() {
    // On a file that is not in WAL mode yet the switch upgrades a read lock to the write lock,
    // and SQLite answers SQLITE_BUSY at once, without its busy handler, when another
    // connection reads the file at that moment. Wait here as the busy handler would.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (int pause = 1;; pause = std::min(pause * 2, 50)) {
        int rc = db_.exec("PRAGMA journal_mode = WAL");
        if ((rc & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline)
            return fromSqlite(rc);
        sqlite3_sleep(pause);
    }
}

WinError Store::Connection::checkStructure() {
    // Once per connection: the b-trees' structure, the order of their rows and the agreement of
    // every index with its table. A quick check would miss the last two, and damage there
    // reads back as one value's data under another's name, or as a key that is its own child.
    // It costs about three times a quick check: under a millisecond for a few hundred keys,
    // some 25 ms for 10,000 and 160 ms for 100,000.
    sql::Statement s;
    if (int rc = s.prepare(db(), "PRAGMA integrity_check(1)")) return fromSqlite(rc);
    sql::Run run(s);
    int rc = run.step();
    if (rc != SQLITE_ROW) return fromSqlite(rc);
    return run.text(0) == "ok" ? win::kSuccess : win::kBadDatabase;
}

WinError Store::Connection::schemaVersion(int64_t &version) {
    sql::Statement s;
    if (int rc = s.prepare(db(), "PRAGMA user_version")) return fromSqlite(rc);
    sql::Run run(s);
    int rc = run.step();
    if (rc != SQLITE_ROW) return fromSqlite(rc);
    version = run.int64(0);
    return win::kSuccess;
}

WinError Store::Connection::createSchema() {
    // Two processes may create the store at once: the second finds the schema in place.
    if (int rc = db_.exec("BEGIN IMMEDIATE")) return fromSqlite(rc);
    int rc = db_.exec(kSchema);
    if (rc == SQLITE_OK) rc = db_.exec("COMMIT");
    if (rc != SQLITE_OK) db_.exec("ROLLBACK");
    return fromSqlite(rc);
}

WinError Store::Connection::statement(Id id, sql::Statement *&out) {
    sql::Statement &s = statements_[id];
    if (!s.prepared()) {
        if (int rc = s.prepare(db(), kSql[id])) return fromSqlite(rc);
    }
    out = &s;
    return win::kSuccess;
}

// ---- Store --------------------------------------------------------------------------------

Store::Store(std::string path, StoreOwner owner) : path_(std::move(path)), owner_(owner) {}

Store::~Store() = default;

bool Store::writable() const {
    return !path_.empty() && !exists(readOnlyMarker()) && fileWritable(path_);
}

WinError Store::openRoot(uint32_t access, std::unique_ptr<Key> &out) {
    out.reset();
    if ((access & kWriteRights) && !writable()) return win::kAccessDenied;
    {
        // Reach the file now, so that an unreadable or damaged store is reported here.
        MutexLock lock(mutex_);
        Connection *c = nullptr;
        if (WinError e = connect(false, c)) return e;
    }
    out.reset(new Key(*this, Key::kTopKeyId, access));
    return win::kSuccess;
}

WinError Store::connect(bool forWrite, Connection *&out) {
    out = nullptr;
    if (connection_ && (!forWrite || !connection_->readOnly())) {
        out = connection_.get();
        return win::kSuccess;
    }
    if (path_.empty()) return forWrite ? win::kAccessDenied : win::kSuccess;

    bool present = exists(path_);
    if (!present && !forWrite) return win::kSuccess;
    if (present && !accessible(path_, R_OK)) return win::kAccessDenied;
    bool canWrite = fileWritable(path_);
    if (forWrite && !canWrite) return win::kAccessDenied;
    if (!present)
        if (WinError e = createFile()) return e;

    auto c = std::make_unique<Connection>();
    bool initialised = false;
    if (WinError e = c->open(path_, canWrite, initialised)) return e;
    // A file that another process has only begun to set up reads as an empty store.
    if (!initialised) return win::kSuccess;
    connection_ = std::move(c);
    out = connection_.get();
    return win::kSuccess;
}

WinError Store::createFile() {
    // Several processes may create the store at once. Each builds a complete file of its own
    // (schema, WAL mode, final permissions) and links it to the store's name; the first link
    // wins and the others open the winner's file. Nobody ever sees a half-made store, and no
    // connection has to switch a shared file's journal mode.
    bool user = owner_ == StoreOwner::user;
    fs::path folder = folderOf(path_);
    if (WinError e = makeFolders(folder, user ? kUserFolderMode : kMachineFolderMode)) return e;

    static std::atomic<uint32_t> serial{0};
    std::string temp =
        path_ + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    auto removeTemp = [&temp] {
        std::error_code ec;
        for (const char *suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(temp + suffix, ec);
    };
    removeTemp();  // left by a crashed process that had the same id
    mode_t mode = user ? 0600 : 0644;
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return errno == EACCES ? win::kAccessDenied : win::kCannotOpen;
    bool moded = ::fchmod(fd, mode) == 0;  // whatever the umask
    ::close(fd);
    WinError result = moded ? win::kSuccess : win::kAccessDenied;
    if (result == win::kSuccess) {
        Connection c;
        bool initialised = false;
        result = c.open(temp, true, initialised);
    }  // closing checkpoints everything into the file
    if (result == win::kSuccess) {
        std::error_code ec;
        fs::create_hard_link(temp, path_, ec);
        bool noLinks = ec == std::errc::operation_not_permitted ||
                       ec == std::errc::operation_not_supported ||
                       ec == std::errc::function_not_supported;
        if (noLinks && !exists(path_)) {
            // A file system without hard links: a rename, which could replace a store made
            // in the instant between the check and the rename.
            ec.clear();
            fs::rename(temp, path_, ec);
        }
        if (ec == std::errc::file_exists || (noLinks && exists(path_))) ec.clear();
        if (!ec) syncFolder(folder);
        if (ec) result = ec == std::errc::permission_denied ? win::kAccessDenied : win::kCannotOpen;
    }
    removeTemp();
    return result;
}

// ---- Key ----------------------------------------------------------------------------------

WinError Key::locate(const std::vector<std::string_view> &parts, int64_t &id,
                     Store::Connection *&c) const {
    if (WinError e = store_.connect(false, c)) return e;
    id = id_;
    if (!c) return answerForAbsentStore(id_, parts.empty() ? 0 : win::kFileNotFound);
    return walk(*c, id, parts);
}

WinError Key::open(std::string_view path, uint32_t access, std::unique_ptr<Key> &out) const {
    Disposition disposition;
    return openOrCreate(path, access, false, out, disposition);
}

WinError Key::create(std::string_view path, uint32_t access, std::unique_ptr<Key> &out,
                     Disposition &disposition) const {
    return openOrCreate(path, access, true, out, disposition);
}

WinError Key::openOrCreate(std::string_view path, uint32_t access, bool create,
                           std::unique_ptr<Key> &out, Disposition &disposition) const {
    out.reset();
    std::vector<std::string_view> parts;
    if (WinError e = splitPath(path, parts)) return e;
    if ((access & kWriteRights) && !store_.writable()) return win::kAccessDenied;

    MutexLock lock(store_.mutex_);
    Conn *c = nullptr;
    int64_t id = 0;
    // An existing key is opened without writing, so that a read-only store still serves it.
    if (WinError found = locate(parts, id, c); found != win::kFileNotFound || !create) {
        if (found) return found;
        disposition = Disposition::kOpenedExistingKey;
        out.reset(new Key(store_, id, access));
        return win::kSuccess;
    }

    if (!(access_ & kKeyCreateSubKey) || !store_.writable()) return win::kAccessDenied;
    if (WinError e = store_.connect(true, c)) return e;
    Transaction t(*c);
    if (WinError e = t.begin(true)) return e;
    if (WinError e = checkExists(*c, id_)) return e;
    id = id_;
    bool created = false;
    for (std::string_view part : parts) {
        WinError e = created ? win::kFileNotFound : findChild(*c, id, part, id);
        if (e == win::kFileNotFound) {
            e = insertKey(*c, id, part, id);
            created = true;
        }
        if (e) return e;
    }
    if (WinError e = t.commit()) return e;
    disposition = created ? Disposition::kCreatedNewKey : Disposition::kOpenedExistingKey;
    out.reset(new Key(store_, id, access));
    return win::kSuccess;
}

WinError Key::deleteSubKey(std::string_view path) const {
    std::vector<std::string_view> parts;
    if (WinError e = splitPath(path, parts)) return e;
    if (!store_.writable()) return win::kAccessDenied;

    MutexLock lock(store_.mutex_);
    Conn *c = nullptr;
    if (WinError e = store_.connect(false, c)) return e;
    if (!c)
        return answerForAbsentStore(id_, parts.empty() ? win::kAccessDenied : win::kFileNotFound);
    if (WinError e = store_.connect(true, c)) return e;
    Transaction t(*c);
    if (WinError e = t.begin(true)) return e;
    int64_t id = id_;
    if (WinError e = walk(*c, id, parts)) return e;
    if (id == kTopKeyId) return win::kAccessDenied;

    sql::Statement *s = nullptr;
    if (WinError e = c->statement(Conn::kHasChildren, s)) return e;
    {
        sql::Run run(*s);
        run.bind(1, id);
        int rc = run.step();
        if (rc == SQLITE_ROW) return win::kAccessDenied;
        if (rc != SQLITE_DONE) return c->error(rc);
    }
    if (WinError e = runWithKey(*c, Conn::kDeleteValues, id)) return e;
    if (WinError e = runWithKey(*c, Conn::kDeleteKey, id)) return e;
    return t.commit();
}

WinError Key::enumSubKey(uint32_t index, std::span<char> name, uint32_t &length) const {
    return enumerate(true, index, name, length);
}

WinError Key::enumValue(uint32_t index, std::span<char> name, uint32_t &length) const {
    return enumerate(false, index, name, length);
}

WinError Key::enumerate(bool keys, uint32_t index, std::span<char> name, uint32_t &length) const {
    if (!(access_ & (keys ? kKeyEnumerateSubKeys : kKeyQueryValue))) return win::kAccessDenied;

    MutexLock lock(store_.mutex_);
    Conn *c = nullptr;
    if (WinError e = store_.connect(false, c)) return e;
    if (!c) return answerForAbsentStore(id_, win::kNoMoreItems);

    if (index == 0 || !cursor_.active || cursor_.keys != keys) {
        cursor_ = Cursor{keys, false, {}};
        sql::Statement *s = nullptr;
        if (WinError e = c->statement(keys ? Conn::kAllChildren : Conn::kAllValues, s)) return e;
        sql::Run run(*s);
        run.bind(1, id_);
        int rc;
        while ((rc = run.step()) == SQLITE_ROW) {
            std::string_view found = run.text(0);
            // The index hands names out in order; one that does not sort after the one before
            // means damage that could hide names from a walk.
            if (!cursor_.names.empty() && compareNames(found, cursor_.names.back()) <= 0)
                return win::kBadDatabase;
            cursor_.names.emplace_back(found);
        }
        if (rc != SQLITE_DONE) return c->error(rc);
        cursor_.active = true;
    }
    if (index >= cursor_.names.size()) {
        cursor_ = Cursor{};
        if (WinError e = checkExists(*c, id_)) return e;
        return win::kNoMoreItems;
    }
    const std::string &found = cursor_.names[index];
    // A name that does not fit is asked for again with a larger buffer.
    if (found.size() >= name.size()) return win::kMoreData;
    std::memcpy(name.data(), found.data(), found.size());
    name[found.size()] = '\0';
    length = static_cast<uint32_t>(found.size());
    return win::kSuccess;
}

WinError Key::flush() const {
    MutexLock lock(store_.mutex_);
    Conn *c = nullptr;
    if (WinError e = store_.connect(false, c)) return e;
    if (!c) return answerForAbsentStore(id_, win::kSuccess);
    if (WinError e = checkExists(*c, id_)) return e;
    if (c->readOnly()) return win::kSuccess;
    // Committed transactions are in the WAL, or already checkpointed into the database file,
    // which a checkpoint syncs. Syncing the WAL makes all of them durable.
    sqlite3_file *wal = nullptr;
    sqlite3_file_control(c->db(), "main", SQLITE_FCNTL_JOURNAL_POINTER, &wal);
    if (wal && wal->pMethods) return fromSqlite(wal->pMethods->xSync(wal, SQLITE_SYNC_NORMAL));
    return win::kSuccess;
}

WinError Key::setValue(std::string_view name, uint32_t type, std::span<const uint8_t> data) const {
    if (!(access_ & kKeySetValue)) return win::kAccessDenied;
    if (name.size() > kMaxValueNameLength || data.size() > UINT32_MAX)
        return win::kInvalidParameter;

    MutexLock lock(store_.mutex_);
    Conn *c = nullptr;
    if (WinError e = store_.connect(true, c)) return e;
    return changeKey(*c, id_, Conn::kSetValue, false, [&](sql::Run &run) {
        run.bind(1, id_).bind(2, name).bind(3, static_cast<int64_t>(type)).bindBlob(4, data);
    });
}

WinError Key::queryValue(std::string_view name, uint32_t &type, std::span<uint8_t> buffer,
                         uint32_t &size) const {
    if (!(access_ & kKeyQueryValue)) return win::kAccessDenied;

    MutexLock lock(store_.mutex_);
    Conn *c = nullptr;
    if (WinError e = store_.connect(false, c)) return e;
    if (!c) return answerForAbsentStore(id_, win::kFileNotFound);
    sql::Statement *s = nullptr;
    if (WinError e = c->statement(Conn::kQueryValue, s)) return e;
    sql::Run run(*s);
    run.bind(1, id_).bind(2, name);
    int rc = run.step();
    if (rc == SQLITE_DONE) {
        if (WinError e = checkExists(*c, id_)) return e;
        return win::kFileNotFound;
    }
    if (rc != SQLITE_ROW) return c->error(rc);
    std::span<const uint8_t> data = run.blob(1);
    type = static_cast<uint32_t>(run.int64(0));
    size = static_cast<uint32_t>(data.size());
    if (data.size() > buffer.size()) return win::kMoreData;
    if (!data.empty()) std::memcpy(buffer.data(), data.data(), data.size());
    return win::kSuccess;
}

WinError Key::queryMultipleValues(std::span<ValueEntry> entries, std::span<uint8_t> buffer,
                                  uint32_t &totalSize) const {
    if (!(access_ & kKeyQueryValue)) return win::kAccessDenied;

    MutexLock lock(store_.mutex_);
    Conn *c = nullptr;
    if (WinError e = store_.connect(false, c)) return e;
    if (!c) return answerForAbsentStore(id_, entries.empty() ? 0 : win::kFileNotFound);
    Transaction t(*c);
    if (WinError e = t.begin(false)) return e;
    if (WinError e = checkExists(*c, id_)) return e;
    sql::Statement *s = nullptr;
    if (WinError e = c->statement(Conn::kQueryValue, s)) return e;

    uint64_t total = 0;
    for (ValueEntry &entry : entries) {
        sql::Run run(*s);
        run.bind(1, id_).bind(2, entry.name);
        int rc = run.step();
        if (rc == SQLITE_DONE) return win::kFileNotFound;
        if (rc != SQLITE_ROW) return c->error(rc);
        std::span<const uint8_t> data = run.blob(1);
        entry.type = static_cast<uint32_t>(run.int64(0));
        entry.size = static_cast<uint32_t>(data.size());
        entry.offset = static_cast<uint32_t>(total);
        if (total + data.size() <= buffer.size() && !data.empty())
            std::memcpy(buffer.data() + total, data.data(), data.size());
        total += data.size();
        if (total > UINT32_MAX) return win::kInvalidParameter;
    }
    totalSize = static_cast<uint32_t>(total);
    if (WinError e = t.commit()) return e;
    return total > buffer.size() ? win::kMoreData : win::kSuccess;
}

WinError Key::deleteValue(std::string_view name) const {
    if (!(access_ & kKeySetValue)) return win::kAccessDenied;

    MutexLock lock(store_.mutex_);
    Conn *c = nullptr;
    if (WinError e = store_.connect(false, c)) return e;
    if (!c) return answerForAbsentStore(id_, win::kFileNotFound);
    if (WinError e = store_.connect(true, c)) return e;
    return changeKey(*c, id_, Conn::kDeleteValue, true,
                     [&](sql::Run &run) { run.bind(1, id_).bind(2, name); });
}

}  // namespace kiv::regdb
