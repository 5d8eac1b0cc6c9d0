// The type library file: reading records, and replacing the file atomically under a lock.
#include "tlib/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kiv::tlib {

namespace {

constexpr unsigned kPageSize = 1024;
constexpr int kBigEndian = 4321;
constexpr unsigned kCacheBytes = 4u << 20;

// The file a new version is built in, next to the library (a rename needs the same folder).
// Only the holder of the writer lock uses it, so one fixed name per library suffices and a
// file left behind by a crash is simply replaced by the next writer.
std::string scratchPath(const std::string &path) {
    return path + ".new";
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

DBT dbt(std::string_view bytes) {
    return DBT{const_cast<char *>(bytes.data()), bytes.size()};
}

std::span<const uint8_t> bytesOf(const DBT &d) {
    return {static_cast<const uint8_t *>(d.data), d.size};
}

// The B-tree's own key order: bytes as unsigned values, then the shorter key first.
int compareKeys(std::span<const uint8_t> a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    if (int c = n ? std::memcmp(a.data(), b.data(), n) : 0) return c;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

Lookup lookup(DB *db, std::string_view key, std::span<const uint8_t> *value, kivResult *code) {
    DBT k = dbt(key), v{};
    int rc = db->get(db, &k, &v, 0);
    if (rc == kDbSuccess) {
        *value = bytesOf(v);
        return Lookup::Found;
    }
    if (rc == kDbNotFound) return Lookup::Absent;
    *code = systemError(errno);
    return Lookup::Failed;
}

kivResult syncFolderOf(const std::string &path) {
    std::string folder = path.substr(0, path.find_last_of('/') + 1);
    FileDescriptor dir(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || fsync(dir.get()) != 0) return systemError(errno);
    return 0;
}

// Holds the writer lock of a library: an exclusive flock on the file that `path` names at the
// moment the lock is granted. A writer that waited on a file which was replaced meanwhile
// tries again on the new one.
class WriterLock {
  public:
    kivResult acquire(const std::string &path, struct stat *locked) {
        for (;;) {
            fd_ = std::make_unique<FileDescriptor>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (fd_->get() < 0) return systemError(errno);
            while (flock(fd_->get(), LOCK_EX) != 0)
                if (errno != EINTR) return systemError(errno);
            struct stat now;
            if (fstat(fd_->get(), locked) != 0 || ::stat(path.c_str(), &now) != 0)
                return systemError(errno);
            if (sameFile(*locked, now)) return 0;
        }
    }

  private:
    std::unique_ptr<FileDescriptor> fd_;  // closing it releases the lock
};

// Copies the current records and the new ones into `target` in ascending key order; a new
// record replaces a current one with the same key. Ascending puts also avoid a page-split
// defect of the 1.85 library with out-of-order records.
kivResult mergeInto(DB *source, const RecordBatch &records, DB *target) {
    auto put = [target](DBT key, DBT value) {
        return target->put(target, &key, &value, 0) == kDbSuccess ? 0 : systemError(errno);
    };
    auto putNew = [&](size_t i) {
        std::span<const uint8_t> value = records.value(i);
        return put(dbt(records.key(i)), DBT{const_cast<uint8_t *>(value.data()), value.size()});
    };
    size_t next = 0;
    DBT key{}, value{};
    int rc = source->seq(source, &key, &value, kDbFirst);
    for (; rc == kDbSuccess; rc = source->seq(source, &key, &value, kDbNext)) {
        while (next < records.size() && compareKeys(bytesOf(key), records.key(next)) > 0)
            if (kivResult failed = putNew(next++)) return failed;
        bool replaced = next < records.size() && compareKeys(bytesOf(key), records.key(next)) == 0;
        if (kivResult failed = replaced ? putNew(next++) : put(key, value)) return failed;
    }
    if (rc != kDbNotFound) return systemError(errno);
    for (; next < records.size(); ++next)
        if (kivResult failed = putNew(next)) return failed;
    return 0;
}

// Builds the complete new file at `scratch`, durable on disk when this returns 0.
kivResult buildFile(const std::string &scratch, DB *source, const RecordBatch &records,
                    mode_t mode) {
    if (::unlink(scratch.c_str()) != 0 && errno != ENOENT) return systemError(errno);
    Database target;
    if (kivResult rc = Database::open(scratch, O_RDWR | O_CREAT | O_EXCL, 0666, &target)) return rc;
    if (fchmod(target.fd(), mode) != 0) return systemError(errno);
    if (kivResult rc = mergeInto(source, records, target.get())) return rc;
    DB *db = target.get();
    if (db->sync(db, 0) != 0 || fsync(target.fd()) != 0) return systemError(errno);
    return target.close();
}

// The 1.85 library frees a handle only when its close has written every dirty page, so a
// handle whose pages could not be written (a full disk) stays allocated, with its file open.
// Such handles wait here, reachable, and each later write tries to close them again.
class Abandoned {
  public:
    void add(DB *db) {
        std::lock_guard lock(mutex_);
        dbs_.push_back(db);
    }
    void retry() {
        std::lock_guard lock(mutex_);
        std::erase_if(dbs_, [](DB *db) { return db->close(db) == 0; });
    }

  private:
    std::mutex mutex_;
    std::vector<DB *> dbs_;
};

Abandoned &abandoned() {
    static Abandoned *instance = new Abandoned;  // lives as long as the process
    return *instance;
}

}  // namespace

kivResult systemError(int err) {
    return KIV_E_SYSTEM(err ? err : EIO);
}

BTREEINFO btreeInfo() {
    BTREEINFO info{};
    info.cachesize = kCacheBytes;
    info.psize = kPageSize;
    info.lorder = kBigEndian;
    return info;
}

// ---- RecordBatch --------------------------------------------------------------------------------

void RecordBatch::closeLast() {
    if (!entries_.empty()) entries_.back().end = bytes_.size();
}

std::vector<uint8_t> &RecordBatch::start(std::string_view key) {
    closeLast();
    size_t at = bytes_.size();
    bytes_.insert(bytes_.end(), key.begin(), key.end());
    entries_.push_back({at, bytes_.size(), bytes_.size()});
    return bytes_;
}

void RecordBatch::add(std::string_view key, std::span<const uint8_t> value) {
    start(key).insert(bytes_.end(), value.begin(), value.end());
}

void RecordBatch::finish() {
    closeLast();
    auto keyOf = [this](const Entry &e) {
        auto k = slice(e.key, e.value);
        return std::string_view(reinterpret_cast<const char *>(k.data()), k.size());
    };
    std::stable_sort(entries_.begin(), entries_.end(), [&](const Entry &a, const Entry &b) {
        return compareKeys(slice(a.key, a.value), keyOf(b)) < 0;
    });
    // Of equal keys keep the last: walking backwards, unique keeps each key's first.
    auto kept = std::unique(entries_.rbegin(), entries_.rend(),
                            [&](const Entry &a, const Entry &b) { return keyOf(a) == keyOf(b); });
    entries_.erase(entries_.begin(), kept.base());
}

// ---- Database -----------------------------------------------------------------------------------

Database &Database::operator=(Database &&other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

kivResult Database::open(const std::string &path, int flags, int mode, Database *out) {
    BTREEINFO info = btreeInfo();
    DB *db = dbopen(path.c_str(), flags, mode, DB_BTREE, &info);
    if (!db) return systemError(errno);
    *out = Database(db);
    return 0;
}

kivResult Database::close() {
    DB *db = std::exchange(db_, nullptr);
    if (!db || db->close(db) == 0) return 0;
    kivResult rc = systemError(errno);
    abandoned().add(db);
    return rc;
}

kivResult readAll(const std::string &path, const RecordVisitor &visit) {
    Database db;
    if (kivResult rc = Database::open(path, O_RDONLY, 0, &db)) return rc;
    DB *d = db.get();
    DBT key{}, value{};
    int rc = d->seq(d, &key, &value, kDbFirst);
    for (; rc == kDbSuccess; rc = d->seq(d, &key, &value, kDbNext))
        visit({static_cast<const char *>(key.data), key.size}, bytesOf(value));
    return rc == kDbNotFound ? db.close() : systemError(errno);
}

// ---- Store --------------------------------------------------------------------------------------

kivResult Store::create(const char *path) {
    if (kivResult rc = Database::open(path, O_RDWR | O_CREAT | O_EXCL, 0666, &db_)) return rc;
    char *resolved = realpath(path, nullptr);
    if (!resolved) {
        kivResult rc = systemError(errno);
        db_.close();
        return rc;
    }
    path_ = resolved;
    std::free(resolved);
    struct stat st;
    fstat(db_.fd(), &st);
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return 0;
}

kivResult Store::open(const char *path, bool readOnly) {
    char *resolved = realpath(path, nullptr);
    if (!resolved) return systemError(errno);
    path_ = resolved;
    std::free(resolved);
    if (kivResult rc = Database::open(path_, readOnly ? O_RDONLY : O_RDWR, 0, &db_)) return rc;
    struct stat st;
    fstat(db_.fd(), &st);
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return 0;
}

kivResult Store::syncCreated() {
    DB *db = db_.get();
    if (db->sync(db, 0) != 0) return systemError(errno);
    if (kivResult rc = db_.close()) return rc;
    return reopen();
}

kivResult Store::close() {
    return db_.close();
}

kivResult Store::reopen() {
    db_.close();  // a read-only handle has nothing to write back
    if (kivResult rc = Database::open(path_, O_RDONLY, 0, &db_)) return rc;
    struct stat st;
    if (fstat(db_.fd(), &st) != 0) return systemError(errno);
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return 0;
}

bool Store::replacedSinceOpen() const {
    struct stat st;
    return ::stat(path_.c_str(), &st) == 0 && (st.st_dev != device_ || st.st_ino != inode_);
}

Lookup Store::get(std::string_view key, std::span<const uint8_t> *value, kivResult *code) {
    if (!db_) {
        if ((*code = reopen()) != 0) return Lookup::Failed;
    }
    Lookup found = lookup(db_.get(), key, value, code);
    if (found != Lookup::Absent || !replacedSinceOpen()) return found;
    if ((*code = reopen()) != 0) return Lookup::Failed;
    return lookup(db_.get(), key, value, code);
}

Lookup Store::Snapshot::get(std::string_view key, std::span<const uint8_t> *value,
                            kivResult *code) const {
    return lookup(db_, key, value, code);
}

kivResult Store::write(const Prepare &prepare) {
    abandoned().retry();
    WriterLock lock;
    struct stat locked;
    Database source;
    for (;;) {
        if (kivResult rc = lock.acquire(path_, &locked)) return rc;
        if (kivResult rc = Database::open(path_, O_RDONLY, 0, &source)) return rc;
        struct stat opened;
        if (fstat(source.fd(), &opened) != 0) return systemError(errno);
        // Only a file created without the lock can have taken the path meanwhile.
        if (sameFile(opened, locked)) break;
    }

    RecordBatch records;
    if (kivResult rc = prepare(Snapshot(source.get()), records)) return rc;
    records.finish();

    std::string scratch = scratchPath(path_);
    kivResult rc = buildFile(scratch, source.get(), records, locked.st_mode & 07777);
    if (rc == 0 && std::rename(scratch.c_str(), path_.c_str()) != 0) rc = systemError(errno);
    if (rc != 0) {
        ::unlink(scratch.c_str());
        return rc;
    }
    // The new file is in place; a failure to make its name durable or to read it is reported,
    // but the records are written.
    kivResult synced = syncFolderOf(path_);
    kivResult reopened = reopen();
    return synced ? synced : reopened;
}

}  // namespace kiv::tlib
