// SPDX-License-Identifier: Apache-2.0
// The registry store: keys and typed values in one SQLite database file, reached through an
// interface shaped like the Windows registry functions, with their rules and their error
// numbers, so that the IRegistry component above it maps results exactly as it would on Windows.
//
// A store file holds one tree whose top key stands for "Software" under a hive. A new store file
// appears fully formed (schema and WAL mode in place), and every connection checks the file's
// structure once when it opens it, so that a damaged store is refused instead of misread. Key and
// value names compare ASCII letters case-insensitively and keep the case they were created with.
// Subkey paths are backslash-separated. Every write is one IMMEDIATE transaction on a WAL
// database, so that several threads and processes may write at once and a killed process
// leaves either the old or the new state. A Key holds its key's row id, which is never reused:
// a key deleted behind an open Key is reported as ERROR_KEY_DELETED.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/lock.h"

namespace kiv::regdb {

// Windows error numbers that the store answers with.
using WinError = uint32_t;
namespace win {
inline constexpr WinError kSuccess = 0;
inline constexpr WinError kFileNotFound = 2;
inline constexpr WinError kAccessDenied = 5;
inline constexpr WinError kNotEnoughMemory = 8;
inline constexpr WinError kLockViolation = 33;
inline constexpr WinError kInvalidParameter = 87;
inline constexpr WinError kDiskFull = 112;
inline constexpr WinError kBadPathname = 161;
inline constexpr WinError kMoreData = 234;
inline constexpr WinError kNoMoreItems = 259;
inline constexpr WinError kBadDatabase = 1009;
inline constexpr WinError kCannotOpen = 1011;
inline constexpr WinError kIoFailed = 1016;
inline constexpr WinError kKeyDeleted = 1018;
}  // namespace win

// Windows access rights of a key.
inline constexpr uint32_t kKeyQueryValue = 0x0001;
inline constexpr uint32_t kKeySetValue = 0x0002;
inline constexpr uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr uint32_t kDelete = 0x10000;
// Rights that change the store: refused on a store this process may not change.
inline constexpr uint32_t kWriteRights = kKeySetValue | kKeyCreateSubKey | kDelete;

// Registry value types.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

// Limits of names, in bytes.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;

// What a create did.
enum class Disposition : uint32_t { kCreatedNewKey = 1, kOpenedExistingKey = 2 };

// The statements behind a value's read and write, shared with the benchmark's baseline.
inline constexpr std::string_view kQueryValueSql =
    "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2";
inline constexpr std::string_view kSetValueSql =
    "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data";

// One value asked for in Key::queryMultipleValues; size, offset (into the caller's buffer)
// and type are filled in.
struct ValueEntry {
    std::string_view name;
    uint32_t size = 0;
    uint32_t offset = 0;
    uint32_t type = kRegNone;
};

class Key;

// Who a store belongs to, which decides the modes of the file and of the folders that its first
// write creates: a user's store is private (0600 in 0700 folders), the machine's store is
// readable by everyone (0644 in 0755 folders).
enum class StoreOwner { machine, user };

// One store file. Its connection is opened on first use and kept: one per store per process.
// A store whose file does not exist yet reads as an empty top key; the file and its folders
// are created by the first write.
class Store {
  public:
    // An empty path is a store with no location: it stays empty and refuses every write.
    explicit Store(std::string path, StoreOwner owner = StoreOwner::machine);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    const std::string &path() const { return path_; }

    // The file that an administrator creates next to the store to make it read-only.
    std::string readOnlyMarker() const { return path_ + ".readonly"; }

    // Whether this process may change the store: it has a location, no read-only marker, and
    // its file and folder (or, before the file exists, the nearest existing folder) are
    // writable by this process.
    bool writable() const;

    // RegOpenKeyEx of the top key. Write rights on a store that is not writable give
    // ERROR_ACCESS_DENIED.
    WinError openRoot(uint32_t access, std::unique_ptr<Key> &out);

    class Connection;  // the SQLite connection and its statements; defined in store.cpp

  private:
    friend class Key;

    // The connection, opened (and the schema set up) on first use; null when reading a store
    // whose file does not exist. With forWrite the file is created when missing and a
    // read-only connection is reopened for writing.
    WinError connect(bool forWrite, Connection *&out);
    // Creates the missing store file: built under a temporary name, then linked into place.
    WinError createFile();

    Mutex mutex_;  // guards the connection: one operation at a time
    std::string path_;
    StoreOwner owner_;
    std::unique_ptr<Connection> connection_;
};

// An open key: what a Windows HKEY stands for.
class Key {
  public:
    static constexpr int64_t kTopKeyId = 1;

    Store &store() const { return store_; }
    int64_t id() const { return id_; }
    uint32_t access() const { return access_; }

    // RegOpenKeyEx: the subkey at `path`; an empty path opens this key again.
    WinError open(std::string_view path, uint32_t access, std::unique_ptr<Key> &out) const;
    // RegCreateKeyEx: opens the subkey at `path`, creating it and any missing key on the way.
    WinError create(std::string_view path, uint32_t access, std::unique_ptr<Key> &out,
                    Disposition &disposition) const;
    // RegDeleteKey: deletes the subkey at `path` (this key itself when empty) with its values;
    // a key that has subkeys is refused with ERROR_ACCESS_DENIED.
    WinError deleteSubKey(std::string_view path) const;
    // RegEnumKeyEx / RegEnumValue, names only, in case-insensitive name order. `name` receives
    // the NUL-terminated name and `length` its length; a name that does not fit gives
    // ERROR_MORE_DATA, an index past the end ERROR_NO_MORE_ITEMS. Index 0 takes a snapshot of
    // the names that the following indexes read, so a walk always ends; names out of order
    // mean a damaged index and give ERROR_BADDB.
    WinError enumSubKey(uint32_t index, std::span<char> name, uint32_t &length) const;
    WinError enumValue(uint32_t index, std::span<char> name, uint32_t &length) const;
    // RegFlushKey: makes every committed change durable on disk.
    WinError flush() const;
    // RegSetValueEx: stores the bytes given under `type`; the empty name is the default value.
    WinError setValue(std::string_view name, uint32_t type, std::span<const uint8_t> data) const;
    // RegQueryValueEx: `size` receives the value's size; a buffer too small for it gives
    // ERROR_MORE_DATA with `size` set and nothing copied.
    WinError queryValue(std::string_view name, uint32_t &type, std::span<uint8_t> buffer,
                        uint32_t &size) const;
    // RegQueryMultipleValues: every value read from one snapshot and packed into `buffer`;
    // `totalSize` receives the space needed, ERROR_MORE_DATA when the buffer is smaller.
    WinError queryMultipleValues(std::span<ValueEntry> entries, std::span<uint8_t> buffer,
                                 uint32_t &totalSize) const;
    // RegDeleteValue.
    WinError deleteValue(std::string_view name) const;

  private:
    friend class Store;
    Key(Store &store, int64_t id, uint32_t access) : store_(store), id_(id), access_(access) {}

    WinError openOrCreate(std::string_view path, uint32_t access, bool create,
                          std::unique_ptr<Key> &out, Disposition &disposition) const;
    WinError enumerate(bool keys, uint32_t index, std::span<char> name, uint32_t &length) const;
    // The row id of the key at `parts` below this one; store mutex held. `c` is null while
    // the store file does not exist.
    WinError locate(const std::vector<std::string_view> &parts, int64_t &id,
                    Store::Connection *&c) const;

    Store &store_;
    int64_t id_;
    uint32_t access_;
    // The names of the walk under way: read in one pass when index 0 is asked for and handed
    // out from there, so that walking index 0, 1, 2, ... neither counts from the start each
    // time nor seeks through an index that damage may have put out of order. Dropped at the
    // walk's end. Guarded by the store's mutex.
    struct Cursor {
        bool keys = false;
        bool active = false;
        std::vector<std::string> names;
    };
    mutable Cursor cursor_;
};

}  // namespace kiv::regdb
