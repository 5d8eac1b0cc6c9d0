// SPDX-License-Identifier: Apache-2.0
// The type library file: a Berkeley DB 1.85 B-tree (page size 1024, big-endian pages), one
// record per repository id, keys being the id's bytes plus a NUL.
//
// Files are untrusted input, and the 1.85 library trusts its files completely (a damaged page
// corrupts its heap), updates them in place without a journal, and can crash when a page split
// meets out-of-order records. So the database library never opens a file that anyone else can
// see. Lookups read the pages on their path on demand and check each before use (reader.h);
// scans and writers read the whole file and check it (btree.h). Every write builds a complete
// new file in private memory with the database library, by merging the current records with
// the new ones in ascending key order, checks the result as any other file, and only then puts
// its bytes on disk: into an exclusively created scratch file next to the library that is
// synced and renamed over it, or, when the folder cannot be written, over the library's own
// bytes. Writers hold a lock on a lock file beside the library that only those who may write
// the library can open, so readers cannot hold them off. Every file-system call goes through
// the runtime's replaceable table (ust_fs.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kiv_base.h"
#include "tlib/btree.h"
#include "tlib/codec.h"
#include "tlib/db185.h"
#include "tlib/reader.h"

namespace kiv::tlib {

// Records to write. A record's value is copied into the batch when it is added, or lies
// elsewhere and stays unchanged until the write is over, or is encoded only when the record is
// put into the new file, so that the batch keeps no second copy of it in memory.
class RecordBatch {
  public:
    // Appends the value of `item` to `out`.
    using Encode = void (*)(void *item, RecordBuffer &out);

    void reserve(size_t records) { entries_.reserve(records); }
    // A record whose key and value are copied now.
    void add(std::string_view key, std::span<const uint8_t> value);
    // A record whose value `encode` writes from `item` when the record is put. The key's bytes
    // and the item must stay unchanged until the write is over.
    void addEncoded(std::string_view key, Encode encode, void *item);
    // A record whose key and value bytes stay unchanged until the write is over.
    void addUnchanging(std::string_view key, std::span<const uint8_t> value);
    // Sorts the records by key; of records with equal keys the last one added stays.
    void finish();

    size_t size() const { return entries_.size(); }
    std::string_view key(size_t i) const { return entries_[i].key; }
    // The value of record i: a copied one as it is, an encoded one built in `scratch`. Valid
    // until the next call with the same scratch buffer.
    std::span<const uint8_t> value(size_t i, RecordBuffer &scratch) const;

  private:
    struct Entry {
        std::string_view key;
        Encode encode;  // null for a value at hand
        void *item;
        std::span<const uint8_t> value;  // the value at hand
    };
    struct Copy {
        std::string key;
        std::vector<uint8_t> value;
    };

    std::vector<Entry> entries_;
    std::deque<Copy> copies_;  // the copied records; a deque never moves them
    std::string keys_;         // every key, side by side, for a sort that stays in the cache
};

// 0x96220000 OR errno (EIO when errno is unexpectedly 0).
kivResult systemError(int err);

// Page cache of the database library while it builds a file: writing in key order only
// touches the pages on one path from the root at a time.
constexpr unsigned kBuildCacheBytes = 64u << 10;

// The B-tree parameters of every type library file, with a page cache of `cacheBytes`.
BTREEINFO btreeInfo(unsigned cacheBytes);

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

    // dbopen with the type library parameters; a system error code on failure. Only for files
    // that nobody else can change while the handle is open.
    static kivResult open(const std::string &path, int flags, int mode, Database *out,
                          unsigned cacheBytes = kBuildCacheBytes);

    explicit operator bool() const { return db_ != nullptr; }
    DB *get() const { return db_; }
    // Closes the handle; a system error code when the library's close failed. The handle is
    // never used again either way: the library may have freed it.
    kivResult close();

  private:
    DB *db_ = nullptr;
};

// Reads and checks the whole file open at `fd` (a regular file): KIV_E_FORMAT for a damaged
// file or another kind of file, a system error code when reading fails.
kivResult readImage(int fd, btree::Image *out);

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
    // before the umask). An empty file reads as a library without records.
    kivResult create(const char *path);
    // Opens an existing file and checks its meta page. A read-write store checks at once that the
    // caller may write it, as the writes need.
    kivResult open(const char *path, bool readOnly);
    // Makes a newly created file a valid, empty B-tree on disk.
    kivResult syncCreated();
    kivResult close();

    // Reads the record of `key` (bytes with the NUL). On Found, *value is valid until the next
    // call on this store. On Absent or damage the store first checks whether the file has been
    // replaced or rewritten since it was opened, and if so opens it again. On Failed, *code
    // holds the result code: KIV_E_FORMAT for damage met on the way, and for every later
    // lookup until the file changes.
    Lookup get(std::string_view key, std::span<const uint8_t> *value, kivResult *code);

    // Everything a writer may look at while it holds the lock: the file as it is now.
    class Snapshot {
      public:
        explicit Snapshot(const btree::Image &image) : image_(image) {}
        // The record of `key` in the current file (Failed never happens).
        Lookup get(std::string_view key, std::span<const uint8_t> *value, kivResult *code) const;
        bool contains(std::string_view key) const { return image_.find(key) != btree::Image::npos; }

      private:
        const btree::Image &image_;
        mutable std::vector<uint8_t> scratch_;
    };
    // Fills the records to write, looking at the current file if it needs to; a non-zero
    // result abandons the write.
    using Prepare = std::function<kivResult(const Snapshot &current, RecordBatch &out)>;

    // Writes records into the file: takes the writer lock, reads and checks the whole current
    // file (KIV_E_FORMAT, writing nothing, when it is damaged), lets `prepare` produce the
    // records, and replaces the file's contents with the current records merged with them
    // (theirs replace equal keys). On failure the file holds its old contents. On success the
    // store reads the new file from then on.
    kivResult write(const Prepare &prepare);

    const std::string &path() const { return path_; }

    // Which version of a file the store has read: the file, its size and its last change.
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        int64_t changedNs = 0;
        bool operator==(const Identity &) const = default;
    };

  private:
    // Reads path_ again; the store keeps its records when that fails.
    kivResult reload(bool forWriting);
    bool changedSinceRead() const;
    kivResult replaceContents(int fileFd, const struct stat &locked, std::span<const uint8_t> old,
                              std::span<const uint8_t> bytes);

    std::string path_;  // symbolic links resolved, so that a replacement lands on the target
    btree::Reader reader_;
    Identity identity_;
    std::vector<uint8_t> scratch_;
};

}  // namespace kiv::tlib
