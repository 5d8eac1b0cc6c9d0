// SPDX-License-Identifier: Apache-2.0
// The type library file: reading checked images, and replacing the file under a lock.
#include "tlib/store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>

#include "ust_fs.h"

namespace kiv::tlib {

namespace {

constexpr unsigned kPageSize = btree::kPageSize;
constexpr int kBigEndian = 4321;

// A descriptor closed through the file-system table.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() { close(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    // The close's own result: some file systems report a failed write only here.
    kivResult close() {
        if (fd_ < 0) return 0;
        int rc = ustFsClose(std::exchange(fd_, -1));
        return rc == 0 ? 0 : systemError(errno);
    }

  private:
    int fd_;
};

Store::Identity identityOf(const struct stat &st) {
    return {st.st_dev, st.st_ino, st.st_size,
            int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

DBT dbt(std::string_view bytes) {
    return DBT{const_cast<char *>(bytes.data()), bytes.size()};
}
DBT dbt(std::span<const uint8_t> bytes) {
    return DBT{const_cast<uint8_t *>(bytes.data()), bytes.size()};
}

kivResult writeAll(int fd, std::span<const uint8_t> bytes, off_t offset) {
    while (!bytes.empty()) {
        ssize_t n = ustFsWrite(fd, bytes.data(), bytes.size(), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return systemError(n < 0 ? errno : EIO);
        bytes = bytes.subspan(static_cast<size_t>(n));
        offset += n;
    }
    return 0;
}

kivResult syncFolderOf(const std::string &path) {
    std::string folder = path.substr(0, path.find_last_of('/') + 1);
    FileDescriptor dir(
        ustFsOpen(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (dir.get() < 0 || ustFsSync(dir.get()) != 0) return systemError(errno);
    return dir.close();
}

// Opens a library file without blocking on a FIFO or a device, and only when it is a regular
// file; KIV_E_FORMAT for anything else.
kivResult openFile(const std::string &path, int access, FileDescriptor *fd) {
    struct stat st;
    if (ustFsStat(path.c_str(), &st) != 0) return systemError(errno);
    if (!S_ISREG(st.st_mode)) return KIV_E_FORMAT;
    fd->reset(ustFsOpen(path.c_str(), access | O_NONBLOCK | O_CLOEXEC, 0));
    return fd->get() < 0 ? systemError(errno) : 0;
}

// Gives a file that we created the group of `like` and then `mode`; without that group, the
// group's bits are dropped, so that a writer outside the group gives its own group nothing.
kivResult matchGroupAndMode(int fd, const struct stat &like, mode_t mode) {
    struct stat now;
    if (fchown(fd, static_cast<uid_t>(-1), like.st_gid) != 0 &&
        (ustFsFstat(fd, &now) != 0 || now.st_gid != like.st_gid))
        mode &= ~mode_t{070};
    return ustFsChmod(fd, mode) == 0 ? 0 : systemError(errno);
}

// Opens the lock file of the library at `path`, `path`.lock, creating it when it is missing.
// It carries only the library's write bits: whoever may not write the library cannot open it
// at all, so cannot lock it either. ENOENT when the folder does not let us create it.
kivResult openLockFile(const std::string &path, const struct stat &library, FileDescriptor *fd) {
    std::string name = path + ".lock";
    constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    fd->reset(ustFsOpen(name.c_str(), kFlags, 0));
    if (fd->get() < 0 && errno == ENOENT) {
        mode_t mode = library.st_mode & 0222;
        fd->reset(ustFsOpen(name.c_str(), kFlags | O_CREAT | O_EXCL, mode));
        // A writer outside the library's group must not give its own group the lock.
        if (fd->get() >= 0) {
            if (kivResult rc = matchGroupAndMode(fd->get(), library, mode)) {
                ustFsUnlink(name.c_str());
                return rc;
            }
        } else if (errno == EEXIST) {
            fd->reset(ustFsOpen(name.c_str(), kFlags, 0));  // another writer made it meanwhile
        } else if (errno == EACCES || errno == EPERM || errno == EROFS) {
            return systemError(ENOENT);
        }
    }
    if (fd->get() < 0) return systemError(errno);
    struct stat st;
    if (ustFsFstat(fd->get(), &st) != 0) return systemError(errno);
    if (!S_ISREG(st.st_mode)) return KIV_E_FORMAT;
    // The library's mode may have changed since; its owner keeps the lock file in step.
    mode_t mode = library.st_mode & 0222;
    if (st.st_uid == geteuid() && (st.st_mode & 07777) != mode && ustFsChmod(fd->get(), mode) != 0)
        return systemError(errno);
    return 0;
}

// The writer lock of a library in a folder where no lock file can be made: a write lock of the
// open file description of the file that `path` names when the lock is granted. A reader can
// hold this one off (it may lock what it can read); that is the price of such a folder. A
// writer that waited on a file which was replaced meanwhile tries again on the new one.
kivResult lockLibraryItself(const std::string &path, FileDescriptor *fd, struct stat *locked) {
    for (int attempt = 0;; ++attempt) {
        if (kivResult rc = openFile(path, O_RDWR, fd)) return rc;
        if (ustFsLockWrite(fd->get()) != 0) return systemError(errno);
        struct stat now;
        if (ustFsFstat(fd->get(), locked) != 0 || ustFsStat(path.c_str(), &now) != 0)
            return systemError(errno);
        if (sameFile(*locked, now)) return 0;
        // Only a writer that replaces the file faster than we can lock it gets here repeatedly.
        if (attempt == 1000) return systemError(EAGAIN);
    }
}

// Takes the writer lock of the library at `path` and opens the library for writing in *file.
// The lock is a write lock on the lock file (openLockFile), which needs write access: readers
// can never hold writers off, whatever they lock. It is taken after the library has been opened
// for writing once, so that a caller without write access creates nothing.
kivResult lockForWriting(const std::string &path, FileDescriptor *lock, FileDescriptor *file,
                         struct stat *locked) {
    if (kivResult rc = openFile(path, O_RDWR, file)) return rc;
    if (ustFsFstat(file->get(), locked) != 0) return systemError(errno);
    kivResult rc = openLockFile(path, *locked, lock);
    if (rc == KIV_E_SYSTEM(ENOENT)) return lockLibraryItself(path, file, locked);
    if (rc != 0) return rc;
    if (ustFsLockWrite(lock->get()) != 0) return systemError(errno);
    // The library may have been replaced while we waited.
    if (kivResult reopened = openFile(path, O_RDWR, file)) return reopened;
    return ustFsFstat(file->get(), locked) == 0 ? 0 : systemError(errno);
}

// Builds the file that holds the current records merged with `records` (a new record replaces
// a current one with the same key) in private memory, with the database library, and maps its
// bytes. Ascending puts also avoid a page-split defect of the 1.85 library with out-of-order
// records.
kivResult buildFile(const btree::Image &current, const RecordBatch &records, btree::Mapping *out) {
    int memory = memfd_create("kiv-tlib", MFD_CLOEXEC);
    if (memory < 0) return systemError(errno);
    struct MemoryFile {
        int fd;
        ~MemoryFile() { ::close(fd); }
    } guard{memory};
    Database target;
    if (kivResult rc =
            Database::open("/proc/self/fd/" + std::to_string(memory), O_RDWR, 0, &target))
        return rc;
    DB *db = target.get();
    auto put = [db](DBT key, DBT value) {
        return db->put(db, &key, &value, 0) == kDbSuccess ? 0 : systemError(errno);
    };
    RecordBuffer scratch;
    auto putNew = [&](size_t i) {
        return put(dbt(records.key(i)), dbt(records.value(i, scratch)));
    };
    std::vector<uint8_t> valueScratch;
    size_t next = 0;
    for (size_t i = 0; i < current.size(); ++i) {
        std::string_view key = current.key(i);
        while (next < records.size() && records.key(next) < key)
            if (kivResult failed = putNew(next++)) return failed;
        bool replaced = next < records.size() && records.key(next) == key;
        if (kivResult failed =
                replaced ? putNew(next++) : put(dbt(key), dbt(current.value(i, valueScratch))))
            return failed;
    }
    for (; next < records.size(); ++next)
        if (kivResult failed = putNew(next)) return failed;
    if (db->sync(db, 0) != 0) return systemError(errno);
    if (kivResult rc = target.close()) return rc;

    struct stat st;
    if (fstat(memory, &st) != 0) return systemError(errno);
    if (st.st_size == 0) return 0;
    // Mapped rather than copied out: the file lives in memory already, and nobody else holds it.
    size_t size = static_cast<size_t>(st.st_size);
    void *bytes = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, memory, 0);
    if (bytes == MAP_FAILED) return systemError(errno);
    *out = btree::Mapping(bytes, size);
    return 0;
}

// Creates the scratch file for a new version next to `path`: a name nobody can guess, created
// exclusively (a name taken by anyone, a symbolic link included, is passed over), readable by
// its owner only until it carries the old file's group, and then the old file's mode. EACCES
// or EPERM means that the folder cannot be written.
kivResult createScratch(const std::string &path, const struct stat &old, std::string *name,
                        FileDescriptor *fd) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 32; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".tmp-%016llx",
                      static_cast<unsigned long long>(random()));
        *name = path + suffix;
        fd->reset(ustFsOpen(name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            old.st_mode & 0700));
        if (fd->get() >= 0) break;
        if (errno != EEXIST) return systemError(errno);
    }
    if (fd->get() < 0) return systemError(EEXIST);
    if (kivResult rc = matchGroupAndMode(fd->get(), old, old.st_mode & 07777)) {
        ustFsUnlink(name->c_str());
        return rc;
    }
    return 0;
}

// Puts `bytes` over the library's own contents `old`, when no scratch file can be made. Not
// atomic: pages past the old end are written first (the old tree never reaches them), then
// the old pages are overwritten, and on a failure the old bytes are put back; a crash in the
// middle leaves a mix, which the next reader refuses as damaged.
kivResult writeInPlace(int fd, std::span<const uint8_t> old, std::span<const uint8_t> bytes) {
    size_t common = std::min(old.size(), bytes.size());
    kivResult rc = writeAll(fd, bytes.subspan(common), static_cast<off_t>(common));
    if (rc == 0 && ustFsSync(fd) != 0) rc = systemError(errno);
    if (rc == 0) rc = writeAll(fd, bytes.first(common), 0);
    if (rc == 0 && bytes.size() < old.size() &&
        ustFsTruncate(fd, static_cast<off_t>(bytes.size())) != 0)
        rc = systemError(errno);
    if (rc == 0 && ustFsSync(fd) != 0) rc = systemError(errno);
    if (rc != 0) {
        // Best effort: a failing device may refuse this too.
        if (writeAll(fd, old, 0) == 0 && ustFsTruncate(fd, static_cast<off_t>(old.size())) == 0)
            ustFsSync(fd);
    }
    return rc;
}

}  // namespace

kivResult systemError(int err) {
    return KIV_E_SYSTEM(err ? err : EIO);
}

BTREEINFO btreeInfo(unsigned cacheBytes) {
    BTREEINFO info{};
    info.cachesize = cacheBytes;
    info.psize = kPageSize;
    info.lorder = kBigEndian;
    return info;
}

// ---- RecordBatch --------------------------------------------------------------------------------

void RecordBatch::add(std::string_view key, std::span<const uint8_t> value) {
    Copy &copy = copies_.emplace_back(Copy{std::string(key), {value.begin(), value.end()}});
    addUnchanging(copy.key, copy.value);
}

void RecordBatch::addEncoded(std::string_view key, Encode encode, void *item) {
    entries_.push_back({key, encode, item, {}});
}

void RecordBatch::addUnchanging(std::string_view key, std::span<const uint8_t> value) {
    entries_.push_back({key, nullptr, nullptr, value});
}

std::span<const uint8_t> RecordBatch::value(size_t i, RecordBuffer &scratch) const {
    const Entry &e = entries_[i];
    if (!e.encode) return e.value;
    scratch.clear();
    e.encode(e.item, scratch);
    return scratch;
}

void RecordBatch::finish() {
    // Keys of encoded records lie wherever their definitions are; sorting views of them would
    // miss the cache at nearly every comparison.
    size_t total = 0;
    for (const Entry &e : entries_) total += e.key.size();
    keys_.clear();
    keys_.reserve(total);
    for (Entry &e : entries_) {
        size_t at = keys_.size();
        keys_.append(e.key);
        e.key = std::string_view(keys_).substr(at, e.key.size());
    }
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry &a, const Entry &b) { return a.key < b.key; });
    // Of equal keys keep the last added, which the stable sort put last: walking backwards,
    // unique keeps each key's first.
    auto kept = std::unique(entries_.rbegin(), entries_.rend(),
                            [](const Entry &a, const Entry &b) { return a.key == b.key; });
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

kivResult Database::open(const std::string &path, int flags, int mode, Database *out,
                         unsigned cacheBytes) {
    BTREEINFO info = btreeInfo(cacheBytes);
    DB *db = dbopen(path.c_str(), flags, mode, DB_BTREE, &info);
    if (!db) return systemError(errno);
    *out = Database(db);
    return 0;
}

kivResult Database::close() {
    DB *db = std::exchange(db_, nullptr);
    if (!db || db->close(db) == 0) return 0;
    return systemError(errno);
}

// ---- Reading files ------------------------------------------------------------------------------

kivResult readImage(int fd, btree::Image *out) {
    struct stat st;
    if (ustFsFstat(fd, &st) != 0) return systemError(errno);
    if (!S_ISREG(st.st_mode)) return KIV_E_FORMAT;
    // Read to the end, whatever the size said: the file may change meanwhile.
    std::vector<uint8_t> bytes(
        static_cast<size_t>(std::clamp<off_t>(st.st_size, 0, btree::kMaxFileBytes)) + kPageSize);
    size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            if (bytes.size() > btree::kMaxFileBytes) return KIV_E_FORMAT;
            bytes.resize(bytes.size() * 2);
        }
        ssize_t n =
            ustFsRead(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return systemError(errno);
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return btree::Image::load(std::move(bytes), out) ? 0 : KIV_E_FORMAT;
}

kivResult readAll(const std::string &path, const RecordVisitor &visit) {
    FileDescriptor fd;
    if (kivResult rc = openFile(path, O_RDONLY, &fd)) return rc;
    btree::Image image;
    if (kivResult rc = readImage(fd.get(), &image)) return rc;
    std::vector<uint8_t> scratch;
    for (size_t i = 0; i < image.size(); ++i) visit(image.key(i), image.value(i, scratch));
    return 0;
}

// ---- Store --------------------------------------------------------------------------------------

kivResult Store::create(const char *path) {
    FileDescriptor fd(ustFsOpen(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0) return systemError(errno);
    char *resolved = realpath(path, nullptr);
    if (!resolved) return systemError(errno);
    path_ = resolved;
    std::free(resolved);
    struct stat st;
    if (ustFsFstat(fd.get(), &st) != 0) return systemError(errno);
    identity_ = identityOf(st);
    reader_.close();
    return fd.close();
}

kivResult Store::open(const char *path, bool readOnly) {
    char *resolved = realpath(path, nullptr);
    if (!resolved) return systemError(errno);
    path_ = resolved;
    std::free(resolved);
    return reload(!readOnly);
}

kivResult Store::reload(bool forWriting) {
    FileDescriptor fd;
    if (kivResult rc = openFile(path_, forWriting ? O_RDWR : O_RDONLY, &fd)) return rc;
    struct stat st;
    if (ustFsFstat(fd.get(), &st) != 0) return systemError(errno);
    btree::Reader reader;
    reader.open(fd.release(), static_cast<uint64_t>(st.st_size));
    // A file of another kind is refused on open.
    if (kivResult rc = reader.checkMeta()) return rc;
    reader_ = std::move(reader);
    identity_ = identityOf(st);
    return 0;
}

kivResult Store::syncCreated() {
    return write([](const Snapshot &, RecordBatch &) { return kivResult{0}; });
}

kivResult Store::close() {
    reader_.close();
    return 0;
}

bool Store::changedSinceRead() const {
    struct stat st;
    return ustFsStat(path_.c_str(), &st) == 0 && !(identityOf(st) == identity_);
}

Lookup Store::get(std::string_view key, std::span<const uint8_t> *value, kivResult *code) {
    bool found = false;
    kivResult rc = reader_.find(key, &found, scratch_);
    // Absent, or damaged: a writer may have replaced or rewritten the file since.
    if ((rc != 0 || !found) && changedSinceRead()) {
        if ((*code = reload(false)) != 0) return Lookup::Failed;
        rc = reader_.find(key, &found, scratch_);
    }
    if (rc != 0) {
        *code = rc;
        return Lookup::Failed;
    }
    if (!found) return Lookup::Absent;
    *value = scratch_;
    return Lookup::Found;
}

Lookup Store::Snapshot::get(std::string_view key, std::span<const uint8_t> *value,
                            kivResult *) const {
    size_t i = image_.find(key);
    if (i == btree::Image::npos) return Lookup::Absent;
    *value = image_.value(i, scratch_);
    return Lookup::Found;
}

kivResult Store::replaceContents(int fileFd, const struct stat &locked,
                                 std::span<const uint8_t> old, std::span<const uint8_t> bytes) {
    std::string scratch;
    FileDescriptor out;
    kivResult rc = createScratch(path_, locked, &scratch, &out);
    if (rc == 0) {
        rc = writeAll(out.get(), bytes, 0);
        if (rc == 0 && ustFsSync(out.get()) != 0) rc = systemError(errno);
        if (kivResult closed = out.close(); rc == 0) rc = closed;
        if (rc == 0 && ustFsRename(scratch.c_str(), path_.c_str()) != 0) rc = systemError(errno);
        if (rc == 0) return 0;
        ustFsUnlink(scratch.c_str());
    }
    // A folder that cannot be written, or a sticky one where the library belongs to another
    // user: the library itself can be written.
    if (rc != KIV_E_SYSTEM(EACCES) && rc != KIV_E_SYSTEM(EPERM)) return rc;
    return writeInPlace(fileFd, old, bytes);
}

kivResult Store::write(const Prepare &prepare) {
    FileDescriptor lock, file;
    struct stat locked;
    if (kivResult rc = lockForWriting(path_, &lock, &file, &locked)) return rc;
    // A flush adds to what the file holds: it never goes on from a file it cannot read whole.
    btree::Image current;
    if (kivResult rc = readImage(file.get(), &current)) return rc;

    RecordBatch records;
    if (kivResult rc = prepare(Snapshot(current), records)) return rc;
    records.finish();
    btree::Mapping built;
    if (kivResult rc = buildFile(current, records, &built)) return rc;
    // The new file must read back whole, as any reader will check it.
    btree::Image next;
    if (!btree::Image::load(std::move(built), &next) || next.size() < current.size())
        return KIV_E_FORMAT;
    next.clearUnusedBytes();

    if (kivResult rc = replaceContents(file.get(), locked, current.bytes(), next.bytes()))
        return rc;
    // From now on lookups read the new file. Should that fail, the records are written all the
    // same; the next lookup that misses tries again.
    if (reload(false) != 0) identity_ = Identity{};
    // A failure to make the name durable is reported, but the records are written.
    return syncFolderOf(path_);
}

}  // namespace kiv::tlib
