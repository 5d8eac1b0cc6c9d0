// The type library file: a Berkeley DB 1.85 B-tree (page size 1024, big-endian pages), one
// record per repository id, keys being the id's bytes plus a NUL.
//
// The 1.85 library updates its file in place without a journal, corrupts a file that two
// processes write, must not be used after its own sync on this host, and can crash when a
// page split meets out-of-order records of a certain size. So the store never writes into a
// file that anyone may read: every write builds a complete new file next to the current one,
// under an advisory lock on the current file, by merging the current file's records with the
// new ones in ascending key order, syncs it and renames it over the current file. A crash at
// any instant leaves either the old or the new file; writers are serialised and each adds its
// records to what the file holds at that moment; readers keep reading the file they opened
// until they notice that it was replaced. Writing a file therefore costs time in proportion to
// the whole file, not to the records written.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kiv_base.h"
#include "tlib/db185.h"

namespace kiv::tlib {

// Records to write, keys and values back to back in one buffer (a flush of many definitions
// then allocates almost nothing per record).
class RecordBatch {
  public:
    // Room for `records` records of about `bytesEach` bytes. Only what is written is touched,
    // so a generous guess costs address space, not time.
    void reserve(size_t records, size_t bytesEach) {
        entries_.reserve(records);
        bytes_.reserve(records * bytesEach);
    }
    // Starts a record with `key` (the id's bytes and its NUL); its value is whatever the
    // caller appends to the returned buffer before the next start.
    std::vector<uint8_t> &start(std::string_view key);
    void add(std::string_view key, std::span<const uint8_t> value);
    // Sorts the records by key; of records with equal keys the last one added stays.
    void finish();

    size_t size() const { return entries_.size(); }
    std::string_view key(size_t i) const {
        auto k = slice(entries_[i].key, entries_[i].value);
        return {reinterpret_cast<const char *>(k.data()), k.size()};
    }
    std::span<const uint8_t> value(size_t i) const {
        return slice(entries_[i].value, entries_[i].end);
    }

  private:
    struct Entry {
        size_t key, value, end;  // offsets in bytes_
    };
    std::span<const uint8_t> slice(size_t from, size_t to) const {
        return {bytes_.data() + from, to - from};
    }
    void closeLast();

    std::vector<uint8_t> bytes_;
    std::vector<Entry> entries_;
};

// 0x96220000 OR errno (EIO when errno is unexpectedly 0).
kivResult systemError(int err);

// The B-tree parameters of every type library file. The cache size does not change the
// file's bytes; a few megabytes make bulk writes and reads several times faster.
BTREEINFO btreeInfo();

// An open database handle, closed at destruction.
class Database {
  public:
    Database() = default;
    explicit Database(DB *db) : db_(db) {}
    Database(Database &&other) noexcept : db_(std::exchange(other.db_, nullptr)) {}
    Database &operator=(Database &&other) noexcept;
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;
    ~Database() { close(); }

    // dbopen with the type library parameters; a system error code on failure.
    static kivResult open(const std::string &path, int flags, int mode, Database *out);

    explicit operator bool() const { return db_ != nullptr; }
    DB *get() const { return db_; }
    int fd() const { return db_->fd(db_); }
    // Closes the handle; a system error code when the library's close failed.
    kivResult close();

  private:
    DB *db_ = nullptr;
};

// Calls `visit` with every record of the file at `path`, in key order (key bytes include the
// NUL). The bytes are valid during the call only.
using RecordVisitor = std::function<void(std::string_view key, std::span<const uint8_t> value)>;
kivResult readAll(const std::string &path, const RecordVisitor &visit);

// Where a record lookup ended.
enum class Lookup { Found, Absent, Failed };

// One library file as a handle sees it.
class Store {
  public:
    // Creates an empty file at `path`, which must not exist (O_RDWR | O_CREAT | O_EXCL, 0666
    // before the umask).
    kivResult create(const char *path);
    // Opens an existing file, read-only or read-write (a read-write open fails early on a file
    // that the caller may not write, although writes never go through this handle).
    kivResult open(const char *path, bool readOnly);
    // Makes a newly created file an empty B-tree on disk (the library's sync), then reopens it:
    // the 1.85 library must not be used after its sync.
    kivResult syncCreated();
    // Closes the file; a system error code when the library's close failed.
    kivResult close();

    // Reads the record of `key` (bytes with the NUL). On Found, *value points into the
    // library's buffer until the next call on this store. On Absent the store first checks
    // whether another writer has replaced the file since it was opened, and if so reads the
    // new file. On Failed, *code holds the system error code.
    Lookup get(std::string_view key, std::span<const uint8_t> *value, kivResult *code);

    // Everything a writer may look at while it holds the lock: the file as it is now.
    class Snapshot {
      public:
        explicit Snapshot(DB *db) : db_(db) {}
        // The record of `key` in the current file, as Store::get (but without reopening).
        Lookup get(std::string_view key, std::span<const uint8_t> *value, kivResult *code) const;

      private:
        DB *db_;
    };
    // Fills the records to write, looking at the current file if it needs to; a non-zero
    // result abandons the write.
    using Prepare = std::function<kivResult(const Snapshot &current, RecordBatch &out)>;

    // Writes records into the file atomically: takes the writer lock, lets `prepare` produce
    // the records, and replaces the file with the current records merged with them (theirs
    // replace equal keys). On failure the file is unchanged. On success the store reads the
    // new file from then on.
    kivResult write(const Prepare &prepare);

    const std::string &path() const { return path_; }

  private:
    // Opens path_ for reading and remembers which file that is.
    kivResult reopen();
    bool replacedSinceOpen() const;

    std::string path_;  // symbolic links resolved, so that a replacement lands on the target
    Database db_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace kiv::tlib
