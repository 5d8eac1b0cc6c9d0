// SPDX-License-Identifier: Apache-2.0
// The registry database's tests, through IRegistry over two temporary stores (a RegistryObject
// made over stores of the test's choosing is the one hook into the library) and through the
// store file, an SQLite database whose `vals` table holds each value's type and bytes: values byte
// for byte, key handles, result codes, several processes sharing a store (a store connection must
// not cross fork(): a process opens a store only once the children using it are done), damaged
// stores and file modes.
#include <grp.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "regdb/registry.h"
#include "regdb/store.h"
#include "test_support.h"

namespace {

using namespace kiv::regdb;
using namespace std::string_literals;

// A RegistryValue together with the texts it points to.
struct Value {
    uint32_t kind;
    uint64_t number = 0;                  // KIV_REG_INT32, KIV_REG_INT64; without texts, the count
    std::vector<std::string> texts = {};  // KIV_REG_STRING and KIV_REG_BYTES: one; a list: each
    std::vector<char *> pointers = {};
    RegistryValue record = {};

    static Value int32(uint32_t n) { return {KIV_REG_INT32, n}; }
    static Value int64(uint64_t n) { return {KIV_REG_INT64, n}; }
    static Value string(std::string s) { return {KIV_REG_STRING, 0, {std::move(s)}}; }
    static Value bytes(std::string b) { return {KIV_REG_BYTES, 0, {std::move(b)}}; }
    static Value list(std::vector<std::string> t) { return {KIV_REG_STRING_LIST, 0, std::move(t)}; }

    // The record, pointing at the texts where they are now; without texts its pointers are null,
    // which makes a string or bytes, or a list with a count, invalid on purpose.
    const RegistryValue *get() {
        pointers.clear();
        for (auto &t : texts) pointers.push_back(t.data());
        record = {.kind = kind, .int64 = number, .strings = nullptr};
        if (texts.empty()) return &record;
        record.string = pointers[0];
        record.strings = pointers.data();
        if (kind == KIV_REG_STRING_LIST) record.count = static_cast<uint32_t>(texts.size());
        if (kind == KIV_REG_BYTES)
            record = {.kind = kind, .count = uint32_t(texts[0].size()), .bytes = pointers[0]};
        return &record;
    }
};

// A string value over `text`.
RegistryValue stringValue(std::string &text) {
    RegistryValue value{};
    value.kind = KIV_REG_STRING;
    value.string = text.data();
    return value;
}

// A value as text, to compare whole values in one expectation.
std::string describe(const RegistryValue &v) {
    if (v.kind == KIV_REG_BYTES)
        return "bytes:" + std::string(static_cast<const char *>(v.bytes), v.count);
    if (v.kind == KIV_REG_INT32) return "int32:" + std::to_string(v.int32);
    if (v.kind == KIV_REG_INT64) return "int64:" + std::to_string(v.int64);
    if (v.kind == KIV_REG_STRING) return std::string("string:") + v.string;
    if (v.kind != KIV_REG_STRING_LIST) return v.kind ? "kind " + std::to_string(v.kind) : "none";
    std::string s = "list:[";
    for (uint32_t i = 0; i < v.count; ++i) s += (i ? "|" : "") + std::string(v.strings[i]);
    return s + "]";
}

// Registry types as stored.
constexpr uint32_t kRegNone = 0, kRegSz = 1, kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7,
                   kRegQword = 11;

// A store file as another program sees it; values are written to and read from the top key.
class RawStore {
  public:
    explicit RawStore(const std::string &path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(db_, 10000);
    }
    ~RawStore() { sqlite3_close_v2(db_); }

    // The type and bytes stored under `name`; type UINT32_MAX when there is no such value.
    std::pair<uint32_t, std::string> read(const std::string &name) {
        std::pair<uint32_t, std::string> result{UINT32_MAX, ""};
        sqlite3_stmt *s = nullptr;
        sqlite3_prepare_v2(db_, "SELECT type, data FROM vals WHERE name = ?1", -1, &s, nullptr);
        sqlite3_bind_text(s, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(s) == SQLITE_ROW)
            result = {uint32_t(sqlite3_column_int64(s, 0)),
                      std::string(static_cast<const char *>(sqlite3_column_blob(s, 1)),
                                  size_t(sqlite3_column_bytes(s, 1)))};
        sqlite3_finalize(s);
        return result;
    }
    void write(const std::string &name, uint32_t type, const std::string &data) {
        sqlite3_stmt *s = nullptr;
        sqlite3_prepare_v2(
            db_, "INSERT OR REPLACE INTO vals(key, name, type, data) VALUES(1, ?1, ?2, ?3)", -1, &s,
            nullptr);
        sqlite3_bind_text(s, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 2, type);
        sqlite3_bind_blob(s, 3, data.data(), int(data.size()), SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(s), SQLITE_DONE);
        sqlite3_finalize(s);
    }

  private:
    sqlite3 *db_ = nullptr;
};

const std::string kInt64 = "!@KIV_INT64_VALUE#$\0"s;  // the marker text of an int64

std::string int64Block(const std::string &text) {
    std::string block = kInt64 + text;
    block.resize(40, '\0');
    return block;
}

constexpr uint32_t kReadWrite = KIV_REG_ACCESS_ALL;
constexpr uint32_t kCreate = KIV_REG_OPTION_CREATE;

std::string error(kivResult rc) {
    return "error " + std::to_string(rc);
}

// Runs `body` in a child process that exits with what it returns.
pid_t spawn(const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

// The child's wait status: 0 when it exited with 0.
int waitFor(pid_t pid) {
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

class RegistryTest : public testing::Test {
  protected:
    int32_t root(uint32_t access = kReadWrite, bool machine = false) {
        int32_t key = KIV_REG_NO_KEY;
        auto opener = machine ? reg->vtbl->openMachineRoot : reg->vtbl->openUserRoot;
        EXPECT_EQ(opener(reg, 0x60000, access, &key), 0u);
        return key;
    }
    kivResult openKey(int32_t parent, const char *path, uint32_t options, uint32_t access,
                      int32_t &key) {
        return reg->vtbl->openKey(reg, parent, path, options, access, 0, &key);
    }
    int32_t open(int32_t parent, const char *path, uint32_t options = kCreate,
                 uint32_t access = kReadWrite) {
        int32_t key = KIV_REG_NO_KEY;
        EXPECT_EQ(openKey(parent, path, options, access, key), 0u) << path;
        return key;
    }
    std::vector<std::string> list(int32_t key, bool subKeys) {
        StringList names;
        EXPECT_EQ((subKeys ? reg->vtbl->enumKeys : reg->vtbl->enumValues)(reg, key, &names), 0u);
        std::vector<std::string> result(names.strings, names.strings + names.count);
        kivStringListClear(&names);
        return result;
    }
    kivResult set(int32_t key, const char *name, Value value) {
        return reg->vtbl->setValue(reg, key, name, value.get());
    }
    std::string query(int32_t key, const char *name) {
        RegistryValue value;
        kivResult rc = reg->vtbl->queryValue(reg, key, name, &value);
        std::string text = rc ? error(rc) : describe(value);
        kivRegistryValueClear(&value);
        return text;
    }
    // The result of every operation that takes a key handle, closeKey last.
    std::vector<kivResult> everyOperation(int32_t handle) {
        int32_t out = 7;
        RegistryValue value;
        StringList names, none{0, nullptr};
        NamedValueList values;
        kivRegistryKeyInfo info;
        std::vector<kivResult> results = {
            openKey(handle, "x", kCreate, kReadWrite, out),
            reg->vtbl->deleteKey(reg, handle, ""),
            reg->vtbl->enumKeys(reg, handle, &names),
            reg->vtbl->enumValues(reg, handle, &names),
            reg->vtbl->flushKey(reg, handle),
            set(handle, "v", Value::int32(1)),
            reg->vtbl->queryValue(reg, handle, "v", &value),
            reg->vtbl->deleteValue(reg, handle, "v"),
            reg->vtbl->queryMultipleValues(reg, handle, &none, &values),
            reg->vtbl->getKeyInfo(reg, handle, &info),
            reg->vtbl->closeKey(reg, handle)};
        EXPECT_EQ(out, KIV_REG_NO_KEY);
        return results;
    }

    kivtest::TempDir dir;
    Store machineStore{dir.file("machine/registry.db"), StoreOwner::machine};
    Store userStore{dir.file("user.db"), StoreOwner::user};
    RegistryObject object{machineStore, userStore};
    IRegistry *reg = object.interface();
};

TEST_F(RegistryTest, EncodesEveryKindByteForByte) {
    constexpr uint32_t kNothing = UINT32_MAX;  // nothing is written
    struct Case {
        Value value;
        kivResult result;
        uint32_t type;
        std::string bytes;
    } cases[] = {
        {Value::int32(0x01020304), 0, kRegDword, "\x04\x03\x02\x01"s},
        {Value::int64(0), 0, kRegMultiSz, int64Block("0x0")},
        {Value::int64(UINT64_MAX), 0, kRegMultiSz, int64Block("0xffffffffffffffff")},
        {Value::string("abc"), 0, kRegSz, "abc\0"s},
        {Value::string(""), 0, kRegSz, "\0"s},
        {Value::list({"a", "", "b"}), 0, kRegMultiSz, "a\0!@KIV_EMPTY_STRING#$\0b\0\0"s},
        {Value::list({}), 0, kRegMultiSz, "\0\0"s},
        {Value::list({"a", "!@KIV_INT64_VALUE#$"}), 0, kRegMultiSz, "a\0!@KIV_INT64_VALUE#$\0\0"s},
        {Value::bytes("\0\x01\xff"s), 0, kRegBinary, "\0\x01\xff"s},
        // Kind none writes nothing; what would not read back as written is refused.
        {{KIV_REG_NONE}, 0, kNothing, ""},
        {{6}, KIV_E_INVALIDARG, kNothing, ""},
        {{0xFFFFFFFF}, KIV_E_INVALIDARG, kNothing, ""},
        {Value::list({"!@KIV_INT64_VALUE#$", "a"}), KIV_E_INVALIDARG, kNothing, ""},
        {Value::list({"a", "!@KIV_EMPTY_STRING#$"}), KIV_E_INVALIDARG, kNothing, ""},
        {{KIV_REG_STRING}, KIV_E_INVALIDARG, kNothing, ""},
        {{KIV_REG_BYTES, 3}, KIV_E_INVALIDARG, kNothing, ""},
        {{KIV_REG_STRING_LIST, 2}, KIV_E_INVALIDARG, kNothing, ""},
    };
    int32_t top = root();
    ASSERT_GE(open(top, "Created"), 0);  // the store file exists from here on
    RawStore raw(userStore.path());
    for (auto &c : cases) {
        std::string name = "case" + std::to_string(&c - cases);
        EXPECT_EQ(set(top, name.c_str(), c.value), c.result) << name;
        EXPECT_EQ(raw.read(name), std::make_pair(c.type, c.bytes)) << name;
    }
}

TEST_F(RegistryTest, DecodesStoredBytes) {
    const struct {
        const char *name;
        uint32_t type;
        std::string bytes;
        std::string value;  // describe() of the value read, or its error
    } cases[] = {
        {"none", kRegNone, "whatever", "none"},
        {"string", kRegSz, "abc\0"s, "string:abc"},
        {"string with inner NUL", kRegSz, "ab\0cd\0"s, "string:ab"},
        {"string without NUL", kRegSz, "abc", error(KIV_E_FAIL)},
        {"bytes", kRegBinary, "x\0y"s, "bytes:x\0y"s},
        {"dword", kRegDword, "\x2a\0\0\0"s, "int32:42"},
        {"short dword", kRegDword, "\x2a\0\0"s, error(KIV_E_FAIL)},
        {"list", kRegMultiSz, "a\0!@KIV_EMPTY_STRING#$\0b\0\0"s, "list:[a||b]"},
        {"list stops at empty text", kRegMultiSz, "a\0\0b\0\0"s, "list:[a]"},
        {"empty list", kRegMultiSz, "\0\0"s, "list:[]"},
        {"empty list as once written", kRegMultiSz, "\0"s, error(KIV_E_FAIL)},
        {"list without final NULs", kRegMultiSz, "a\0b"s, error(KIV_E_FAIL)},
        {"int64", kRegMultiSz, int64Block("0x1f"), "int64:31"},
        {"int64 upper case, no prefix", kRegMultiSz, int64Block("1F"), "int64:31"},
        {"int64 leading zeros", kRegMultiSz, kInt64 + "0x00000000000000000001\0\0"s, "int64:1"},
        {"int64 too big", kRegMultiSz, int64Block("0x10000000000000000"), error(KIV_E_FAIL)},
        {"int64 not hex", kRegMultiSz, int64Block("0x12g"), error(KIV_E_FAIL)},
        {"int64 space", kRegMultiSz, int64Block(" 0x1"), error(KIV_E_FAIL)},
        {"int64 missing text", kRegMultiSz, kInt64 + '\0', error(KIV_E_FAIL)},
        {"marker prefix is a list", kRegMultiSz, "!@KIV_INT64_VALUE#$x\0\0"s,
         "list:[!@KIV_INT64_VALUE#$x]"},
        {"REG_QWORD", kRegQword, "\1\0\0\0\0\0\0\0"s, error(KIV_E_UNEXPECTED)},
    };
    int32_t top = root();
    ASSERT_GE(open(top, "Created"), 0);
    RawStore raw(userStore.path());
    for (const auto &c : cases) {
        raw.write(c.name, c.type, c.bytes);
        EXPECT_EQ(query(top, c.name), c.value) << c.name;
    }
}

TEST_F(RegistryTest, HandleTableDoublesAndReusesTheLastClosedSlot) {
    for (int i = 0; i < 32; ++i) EXPECT_EQ(root(), i);
    EXPECT_EQ(root(), 32);
    EXPECT_EQ(reg->vtbl->closeKey(reg, 5), 0u);
    EXPECT_EQ(reg->vtbl->closeKey(reg, 9), 0u);
    EXPECT_EQ(root(), 9);
    EXPECT_EQ(root(), 5);
    EXPECT_EQ(root(), 33);
}

TEST_F(RegistryTest, InvalidAndDeletedHandles) {
    int32_t top = root(), closed = root(), child = open(top, "Parent\\Child");
    ASSERT_EQ(reg->vtbl->closeKey(reg, closed), 0u);
    for (int32_t handle : {closed, -1, 64, INT32_MIN})
        EXPECT_EQ(everyOperation(handle), std::vector<kivResult>(11, KIV_E_INVALIDARG)) << handle;

    // A key deleted behind a handle stays deleted for it, even once one of its name is made.
    ASSERT_EQ(set(child, "v", Value::int32(1)), 0u);
    ASSERT_EQ(reg->vtbl->deleteKey(reg, top, "parent\\child"), 0u);
    EXPECT_EQ(query(open(top, "Parent\\Child"), "v"), error(KIV_E_RT_NOT_FOUND));
    std::vector<kivResult> deleted(9, KIV_E_RT_KEY_DELETED);
    deleted.insert(deleted.end(), {KIV_E_NOTIMPL, 0});
    EXPECT_EQ(everyOperation(child), deleted);
}

TEST_F(RegistryTest, KeysAndTheirResultCodes) {
    int32_t top = root();
    open(top, "Parent\\Child");
    const std::string longest(255, 'k'), tooLong(256, 'k');
    const struct {
        const char *path;
        uint32_t options;
        kivResult result;
    } cases[] = {
        {"PARENT\\child", 0, 0},
        {"parent\\CHILD\\", kCreate, 0},
        {"Parent\\Missing", 0, KIV_E_RT_NOT_FOUND},
        {"Parent", kCreate | KIV_REG_OPTION_EXCLUSIVE, KIV_E_RT_EXISTS},
        {"Parent\\New", kCreate | KIV_REG_OPTION_EXCLUSIVE, 0},
        {"\\Parent", 0, 0x800700A1},
        {"Parent\\\\Child", kCreate, 0x800700A1},
        {longest.c_str(), kCreate, 0},
        {tooLong.c_str(), kCreate, KIV_E_INVALIDARG},
    };
    for (const auto &c : cases) {
        int32_t key = 7;
        EXPECT_EQ(openKey(top, c.path, c.options, kReadWrite, key), c.result) << c.path;
        EXPECT_EQ(key >= 0, c.result == 0) << c.path;
    }
    // Names keep the case they were made with.
    EXPECT_EQ(list(top, true), (std::vector<std::string>{longest, "Parent"}));
    EXPECT_EQ(list(open(top, "parent"), true), (std::vector<std::string>{"Child", "New"}));

    EXPECT_EQ(reg->vtbl->deleteKey(reg, top, "Parent"), KIV_E_ACCESSDENIED);  // has subkeys
    EXPECT_EQ(reg->vtbl->deleteKey(reg, top, "Nobody"), KIV_E_RT_NOT_FOUND);
    EXPECT_EQ(reg->vtbl->deleteKey(reg, top, ""), KIV_E_ACCESSDENIED);
    EXPECT_EQ(reg->vtbl->deleteKey(reg, top, nullptr), KIV_E_INVALIDARG);
}

TEST_F(RegistryTest, AccessFlagsGrantTheirRights) {
    int32_t top = root();
    ASSERT_EQ(set(open(top, "Rights"), "v", Value::int32(7)), 0u);
    // The rights each flag grants: query, set, enumerate, create.
    const std::pair<uint32_t, const char *> cases[] = {
        {0x000, ""},  {0x001, "c"}, {0x004, "e"}, {0x008, "q"}, {0x010, "s"}, {0x020, "s"},
        {0x040, "q"}, {0x080, "q"}, {0x100, "s"}, {0x200, "q"}, {0x400, ""},  {0x01D, "cqes"}};
    for (const auto &[flags, rights] : cases) {
        auto expect = [granted = rights](char right) {
            return std::strchr(granted, right) ? 0u : KIV_E_ACCESSDENIED;
        };
        int32_t h = open(top, "Rights", 0, flags), created;
        StringList names;
        EXPECT_EQ(query(h, "v"), expect('q') ? error(KIV_E_ACCESSDENIED) : "int32:7") << flags;
        EXPECT_EQ(set(h, "v", Value::int32(7)), expect('s')) << flags;
        EXPECT_EQ(reg->vtbl->enumKeys(reg, h, &names), expect('e')) << flags;
        EXPECT_EQ(openKey(h, "Sub", kCreate, 0, created), expect('c')) << flags;
        reg->vtbl->deleteKey(reg, h, "Sub");
        kivStringListClear(&names);
    }
}

TEST_F(RegistryTest, AReadOnlyStoreRefusesChangesAndKeepsReads) {
    ASSERT_EQ(set(open(root(kReadWrite, true), "KIV"), "v", Value::string("kept")), 0u);
    kivtest::writeFile(machineStore.readOnlyMarker(), "");
    int32_t key, machine = root(8, true);
    EXPECT_EQ(reg->vtbl->openMachineRoot(reg, 0x60000, 9, &key), KIV_E_ACCESSDENIED);
    EXPECT_EQ(key, KIV_REG_NO_KEY);
    EXPECT_EQ(openKey(machine, "KIV", kCreate, 9, key), KIV_E_ACCESSDENIED);
    EXPECT_EQ(query(open(machine, "kiv", kCreate, 8), "V"), "string:kept");
    EXPECT_EQ(openKey(machine, "New", kCreate, 8, key), KIV_E_ACCESSDENIED);
    EXPECT_EQ(reg->vtbl->deleteKey(reg, machine, "KIV"), KIV_E_ACCESSDENIED);
    EXPECT_GE(open(root(), "KIV\\Classes"), 0);  // the user store is not affected
}

TEST_F(RegistryTest, ValuesGoThroughTheCodec) {
    int32_t key = open(root(), "Values");
    ASSERT_EQ(set(key, "list", Value::list({"a", "", "b"})), 0u);
    ASSERT_EQ(set(key, "", Value::string("default")), 0u);
    ASSERT_EQ(set(key, "Big", Value::bytes(std::string(100000, '\xa5'))), 0u);
    ASSERT_EQ(set(key, "BIG", Value::int64(1)), 0u);  // the same value, of another kind now
    ASSERT_EQ(set(key, "long", Value::string(std::string(3000, 'l'))), 0u);
    EXPECT_EQ(query(key, "LIST"), "list:[a||b]");
    EXPECT_EQ(query(key, nullptr), "string:default");
    EXPECT_EQ(query(key, "big"), "int64:1");
    EXPECT_EQ(list(key, false), (std::vector<std::string>{"", "Big", "list", "long"}));
    auto multiple = [&](std::vector<const char *> wanted) {
        StringList names{uint32_t(wanted.size()), const_cast<char **>(wanted.data())};
        NamedValueList values;
        kivResult rc = reg->vtbl->queryMultipleValues(reg, key, &names, &values);
        std::string text = rc ? error(rc) : "";
        for (uint32_t i = 0; i < values.count; ++i)
            text += values.entries[i].name + ("=" + describe(values.entries[i].value)) + " ";
        kivNamedValueListClear(&values);
        return text;
    };
    EXPECT_EQ(multiple({"big", "LONG"}), "big=int64:1 LONG=string:" + std::string(3000, 'l') + " ");
    EXPECT_EQ(multiple({"big", "missing"}), error(KIV_E_RT_NOT_FOUND));

    // A kind without a registry form is refused and changes nothing.
    EXPECT_EQ(set(key, "list", {42}), KIV_E_INVALIDARG);
    EXPECT_EQ(set(key, "list", {KIV_REG_NONE}), 0u);
    EXPECT_EQ(query(key, "list"), "list:[a||b]");
    ASSERT_EQ(set(key, "empty", Value::list({})), 0u);
    EXPECT_EQ(query(key, "empty"), "list:[]");
    EXPECT_EQ(reg->vtbl->setValue(reg, key, "bad", nullptr), KIV_E_INVALIDARG);
    RawStore(userStore.path()).write("qword", kRegQword, "\1\0\0\0\0\0\0\0"s);
    int32_t top = root();
    EXPECT_EQ(query(top, "qword"), error(KIV_E_UNEXPECTED));  // decoded by nothing
    EXPECT_EQ(reg->vtbl->deleteValue(reg, top, "Qword"), 0u);
    EXPECT_EQ(reg->vtbl->deleteValue(reg, top, "qword"), KIV_E_RT_NOT_FOUND);
}

TEST_F(RegistryTest, EnumerationsWithLongNames) {
    int32_t key = open(root(), "Long");
    std::vector<std::string> names;
    for (size_t length : {1, 255, 256, 5000, 16383}) names.push_back(std::string(length, 'n'));
    for (int i = 0; i < 12; ++i) names.push_back("v" + std::to_string(10 + i));
    for (const auto &name : names) ASSERT_EQ(set(key, name.c_str(), Value::int32(1)), 0u);
    EXPECT_EQ(set(key, std::string(16384, 'n').c_str(), Value::int32(1)), KIV_E_INVALIDARG);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(list(key, false), names);

    std::vector<std::string> subKeys;
    for (int i = 0; i < 17; ++i) subKeys.push_back("k" + std::to_string(10 + i));
    for (const auto &name : subKeys) open(key, name.c_str());
    EXPECT_EQ(list(key, true), subKeys);
    EXPECT_EQ(list(key, true), subKeys);  // the walk starts over
}

// An IRegistry whose user root is the store at `path`, for a test process of its own.
struct PrivateRegistry {
    explicit PrivateRegistry(const std::string &path) : user(path, StoreOwner::user) {}
    Store none{""}, user;
    RegistryObject object{none, user};
    IRegistry *reg = object.interface();

    int32_t open(const char *path, uint32_t options = kCreate) {
        int32_t top = KIV_REG_NO_KEY, key = KIV_REG_NO_KEY;
        reg->vtbl->openUserRoot(reg, 0, kReadWrite, &top);
        reg->vtbl->openKey(reg, top, path, options, kReadWrite, 0, &key);
        return key;
    }
};

TEST(RegistryProcesses, ConcurrentWritersInSeveralProcessesLoseNothing) {
    // The race is in the first use of a store that does not exist yet: every round starts one.
    constexpr int kRounds = 5, kWriters = 4, kValues = 40;
    kivtest::TempDir dir;
    auto name = [](int w, int i) {
        std::string text = "w";
        text += std::to_string(w);
        text += '-';
        text += std::to_string(i);
        return text;
    };
    for (int round = 0; round < kRounds; ++round) {
        std::string path = dir.file("round" + std::to_string(round) + "/registry.db");
        std::vector<pid_t> writers;
        for (int w = 0; w < kWriters; ++w)
            writers.push_back(spawn([&, w] {
                PrivateRegistry r(path);
                int32_t key = r.open("Shared");
                for (int i = 0; i < kValues; ++i) {
                    std::string text = name(w, i);
                    RegistryValue value = stringValue(text);
                    if (r.reg->vtbl->setValue(r.reg, key, text.c_str(), &value)) return 1;
                }
                return 0;
            }));
        for (pid_t pid : writers) EXPECT_EQ(waitFor(pid), 0) << "round " << round;
        PrivateRegistry r(path);
        int32_t key = r.open("Shared", 0);
        for (int w = 0; w < kWriters; ++w)
            for (int i = 0; i < kValues; ++i) {
                RegistryValue value;
                ASSERT_EQ(r.reg->vtbl->queryValue(r.reg, key, name(w, i).c_str(), &value), 0u);
                EXPECT_EQ(describe(value), "string:" + name(w, i));
                kivRegistryValueClear(&value);
            }
    }
}

TEST(RegistryDamage, ADamagedStoreGivesAnErrorNeverALoopNorALoss) {
    constexpr int kKeys = 8, kValues = 160;
    kivtest::TempDir dir;
    std::string pristine = dir.file("pristine.db");
    {
        PrivateRegistry r(pristine);
        for (int i = 0; i < kValues; ++i) {
            std::string key = "Data\\K" + std::to_string(i % kKeys), name = "v" + std::to_string(i);
            std::string text(120, char('a' + i % 26));
            RegistryValue value = stringValue(text);
            ASSERT_EQ(r.reg->vtbl->setValue(r.reg, r.open(key.c_str()), name.c_str(), &value), 0u);
        }
    }  // closing the store moves everything into its file
    std::string bytes = kivtest::readFile(pristine);
    ASSERT_GT(bytes.size(), 16384u);

    // Every walk ends: with an error, or with every value listed.
    auto walk = [](const std::string &path) {
        PrivateRegistry r(path);
        int32_t data = r.open("Data", 0);
        StringList keys, values;
        if (data < 0 || r.reg->vtbl->enumKeys(r.reg, data, &keys)) return 0;
        size_t listed = 0;
        for (uint32_t k = 0; k < keys.count; ++k) {
            int32_t key;
            if (r.reg->vtbl->openKey(r.reg, data, keys.strings[k], 0, kReadWrite, 0, &key) ||
                r.reg->vtbl->enumValues(r.reg, key, &values))
                return 0;
            for (uint32_t v = 0; v < values.count; ++v) {
                RegistryValue value;
                if (r.reg->vtbl->queryValue(r.reg, key, values.strings[v], &value)) return 0;
                kivRegistryValueClear(&value);
            }
            listed += values.count;
            kivStringListClear(&values);
        }
        return listed == kValues ? 1 : 2;
    };
    // Damage where it hurts: each page's header and cell pointers (the first page's after the
    // 100-byte file header): a cell count cut to one, two cell pointers swapped, 16 bytes flipped.
    size_t pageSize = size_t(uint8_t(bytes[16])) << 8 | uint8_t(bytes[17]);
    ASSERT_GE(pageSize, 512u);
    const std::function<void(std::string &, size_t)> kinds[] = {
        [](std::string &b, size_t at) { b[at + 3] = 0, b[at + 4] = 1; },
        [](std::string &b, size_t at) {
            size_t pointers = at + (b[at] == 0x02 || b[at] == 0x05 ? 12 : 8);
            std::swap(b[pointers], b[pointers + 2]);
            std::swap(b[pointers + 1], b[pointers + 3]);
        },
        [](std::string &b, size_t at) {
            for (size_t i = 0; i < 16; ++i) b[at + i] = char(b[at + i] ^ 0x5A);
        },
    };
    int refused = 0;
    for (size_t page = 0; page < bytes.size() / pageSize; ++page)
        for (size_t kind = 0; kind < std::size(kinds); ++kind) {
            std::string damaged = bytes, what = std::to_string(page) + "-" + std::to_string(kind);
            kinds[kind](damaged, page * pageSize + (page ? 0 : 100));
            std::string path = dir.file("damaged" + what + ".db");
            kivtest::writeFile(path, damaged);
            int status = waitFor(spawn([&] {
                alarm(20);  // a walk that does not end is killed
                return walk(path);
            }));
            ASSERT_TRUE(WIFEXITED(status)) << "page-kind " << what << ": status " << status;
            EXPECT_NE(WEXITSTATUS(status), 2) << "page-kind " << what << ": values lost unnoticed";
            refused += WEXITSTATUS(status) == 0;
        }
    EXPECT_GT(refused, 0);
}

// Damage that leaves every b-tree well formed, so that only the agreement of an index with its
// table, the order of rows, or the schema version can tell: each store is refused as a whole.
TEST(RegistryDamage, WellFormedButInconsistentStoresAreRefused) {
    kivtest::TempDir dir;
    std::string pristine = dir.file("pristine.db");
    {
        PrivateRegistry r(pristine);
        int32_t back = r.open("Loop\\Back");
        for (const char *name : {"alpha", "beta", "gamma"}) {
            std::string text = std::string(name) + "-data";
            RegistryValue value = stringValue(text);
            ASSERT_EQ(r.reg->vtbl->setValue(r.reg, back, name, &value), 0u);
        }
    }
    // Everything into the main file, so that the bytes below are all there is.
    auto raw = [](const std::string &path, const char *sql) {
        sqlite3 *db = nullptr;
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        sqlite3_close_v2(db);
        return rc;
    };
    ASSERT_EQ(raw(pristine, "PRAGMA wal_checkpoint(TRUNCATE)"), SQLITE_OK);
    const std::string bytes = kivtest::readFile(pristine);
    const size_t pageSize = size_t(uint8_t(bytes[16])) << 8 | uint8_t(bytes[17]);

    // The (parent, name) index entry of "Back" (key 3 under key 2) made to point at key 2: a key
    // that is its own child, which a quick structural check does not see.
    auto forgeIndex = [](std::string &b, size_t) {
        const std::string entry = "\x04\x01\x15\x01\x02"s + "Back" + "\x03";
        size_t at = b.find(entry);
        ASSERT_NE(at, std::string::npos);
        b[at + entry.size() - 1] = '\x02';
    };
    // Two cell pointers of the values table's page swapped: each name then reads another's data.
    auto swapValues = [&](std::string &b, size_t) {
        size_t page = b.find("alpha-data") / pageSize;
        size_t header = page * pageSize + (page ? 0 : 100);
        ASSERT_EQ(b[header], 0x0A);  // a leaf page of an index b-tree: WITHOUT ROWID rows
        std::swap(b[header + 8], b[header + 10]);
        std::swap(b[header + 9], b[header + 11]);
    };
    auto newerSchema = [](std::string &b, size_t) { b[63] = 2; };  // user_version, big-endian
    const struct {
        const char *what;
        std::function<void(std::string &, size_t)> damage;
    } cases[] = {
        {"an index entry pointing back at its key", forgeIndex},
        {"rows out of order", swapValues},
        {"a newer schema version", newerSchema},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string damaged = bytes;
        c.damage(damaged, pageSize);
        std::string path = dir.file(std::string("damaged-") + std::to_string(&c - cases) + ".db");
        kivtest::writeFile(path, damaged);
        PrivateRegistry r(path);
        for (uint32_t access : {uint32_t(KIV_REG_ACCESS_QUERY), uint32_t(kReadWrite)}) {
            int32_t top = KIV_REG_NO_KEY;
            kivResult rc = r.reg->vtbl->openUserRoot(r.reg, 0, access, &top);
            EXPECT_STREQ(rc ? kivStrError(rc) : "success", "Stored data is damaged");
            EXPECT_EQ(top, KIV_REG_NO_KEY);
        }
    }
}

TEST(RegistryModes, UserStoresArePrivateMachineStoresReadable) {
    const struct {
        StoreOwner owner;
        mode_t umask;  // the modes must not depend on it
        mode_t file, folder;
    } cases[] = {
        {StoreOwner::user, 0, 0600, 0700},
        {StoreOwner::machine, 077, 0644, 0755},
    };
    for (const auto &c : cases) {
        kivtest::TempDir dir;
        std::string path = dir.file("a/b/registry.db");
        mode_t old = umask(c.umask);
        {
            Store store(path, c.owner);
            RegistryObject object(store, store);
            IRegistry *reg = object.interface();
            int32_t top, key;
            ASSERT_EQ(reg->vtbl->openUserRoot(reg, 0, kReadWrite, &top), 0u);
            ASSERT_EQ(reg->vtbl->openKey(reg, top, "K", kCreate, kReadWrite, 0, &key), 0u);
        }
        umask(old);
        auto mode = [](const std::string &file) {
            struct stat st {};
            return stat(file.c_str(), &st) ? mode_t(0) : mode_t(st.st_mode & 07777);
        };
        for (const char *suffix : {"", "-wal", "-shm"})
            EXPECT_EQ(mode(path + suffix), c.file) << suffix;
        EXPECT_EQ(mode(dir.file("a")), c.folder);
        EXPECT_EQ(mode(dir.file("a/b")), c.folder);
        EXPECT_FALSE(std::filesystem::exists(dir.file("a/b/registry.db.new-") +
                                             std::to_string(getpid()) + "-0"));
    }
}

TEST_F(RegistryTest, AProcessThatMayNotWriteTheStoreStillReadsIt) {
    ASSERT_EQ(waitFor(spawn([&] {
                  return set(open(root(), "Shared"), "greeting", Value::string("hello")) ? 1 : 0;
              })),
              0);
    // Root may write anything: the reader then drops to an unprivileged user, who may read the
    // (otherwise private) store files but not write them.
    bool privileged = geteuid() == 0;
    if (privileged) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        for (const char *suffix : {"", "-wal", "-shm"})
            ASSERT_EQ(chmod((userStore.path() + suffix).c_str(), 0644), 0);
    } else {
        ASSERT_EQ(chmod(userStore.path().c_str(), 0444), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    }
    pid_t reader = spawn([&] {
        if (privileged && (setgroups(0, nullptr) || setgid(65534) || setuid(65534))) return 9;
        int32_t top, key;
        if (reg->vtbl->openUserRoot(reg, 0, kReadWrite, &top) != KIV_E_ACCESSDENIED) return 1;
        if (reg->vtbl->openUserRoot(reg, 0, 0x008, &top)) return 2;
        if (openKey(top, "New", kCreate, 0x008, key) != KIV_E_ACCESSDENIED) return 3;
        return query(open(top, "Shared", 0, 0x008), "greeting") == "string:hello" ? 0 : 4;
    });
    EXPECT_EQ(waitFor(reader), 0);
    chmod(dir.path().c_str(), 0700);
}

}  // namespace
