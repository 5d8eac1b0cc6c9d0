// The registry database's tests: the value codec byte for byte, the IRegistry component over two
// temporary stores (key handles, result codes, values), and several processes sharing a store (a
// store connection must not cross fork(): the parent opens its stores only once its children are
// done).
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "regdb/codec.h"
#include "regdb/handles.h"
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

std::span<const uint8_t> asBytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

const std::string kInt64 = "!@KIV_INT64_VALUE#$\0"s;  // the marker text of an int64

std::string int64Block(const std::string &text) {
    std::string block = kInt64 + text;
    block.resize(40, '\0');
    return block;
}

TEST(Codec, EncodesEveryKindByteForByte) {
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
        {Value::bytes("\0\x01\xff"s), 0, kRegBinary, "\0\x01\xff"s},
        {Value::list({"a", "!@KIV_INT64_VALUE#$"}), 0, kRegMultiSz, "a\0!@KIV_INT64_VALUE#$\0\0"s},
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
    for (auto &c : cases) {
        EncodedValue encoded;
        EXPECT_EQ(encodeValue(*c.value.get(), encoded), c.result) << &c - cases;
        EXPECT_EQ(encoded.present ? encoded.type : kNothing, c.type) << &c - cases;
        EXPECT_EQ(std::string(encoded.bytes.begin(), encoded.bytes.end()), c.bytes) << &c - cases;
    }
}

TEST(Codec, DecodesStoredBytes) {
    const struct {
        const char *name;
        uint32_t type;
        std::string bytes;
        kivResult result;
        std::string value;  // describe() of the decoded value
    } cases[] = {
        {"none", kRegNone, "whatever", 0, "none"},
        {"string", kRegSz, "abc\0"s, 0, "string:abc"},
        {"string with inner NUL", kRegSz, "ab\0cd\0"s, 0, "string:ab"},
        {"string without NUL", kRegSz, "abc", KIV_E_FAIL, "none"},
        {"bytes", kRegBinary, "x\0y"s, 0, "bytes:x\0y"s},
        {"dword", kRegDword, "\x2a\0\0\0"s, 0, "int32:42"},
        {"short dword", kRegDword, "\x2a\0\0"s, KIV_E_FAIL, "none"},
        {"list", kRegMultiSz, "a\0!@KIV_EMPTY_STRING#$\0b\0\0"s, 0, "list:[a||b]"},
        {"list stops at empty text", kRegMultiSz, "a\0\0b\0\0"s, 0, "list:[a]"},
        {"empty list", kRegMultiSz, "\0\0"s, 0, "list:[]"},
        {"empty list as once written", kRegMultiSz, "\0"s, KIV_E_FAIL, "none"},
        {"list without final NULs", kRegMultiSz, "a\0b"s, KIV_E_FAIL, "none"},
        {"int64", kRegMultiSz, int64Block("0x1f"), 0, "int64:31"},
        {"int64 upper case, no prefix", kRegMultiSz, int64Block("1F"), 0, "int64:31"},
        {"int64 leading zeros", kRegMultiSz, kInt64 + "0x00000000000000000001\0\0"s, 0, "int64:1"},
        {"int64 too big", kRegMultiSz, int64Block("0x10000000000000000"), KIV_E_FAIL, "none"},
        {"int64 not hex", kRegMultiSz, int64Block("0x12g"), KIV_E_FAIL, "none"},
        {"int64 space", kRegMultiSz, int64Block(" 0x1"), KIV_E_FAIL, "none"},
        {"int64 missing text", kRegMultiSz, kInt64 + '\0', KIV_E_FAIL, "none"},
        {"marker prefix is a list", kRegMultiSz, "!@KIV_INT64_VALUE#$x\0\0"s, 0,
         "list:[!@KIV_INT64_VALUE#$x]"},
        {"REG_QWORD", kRegQword, "\1\0\0\0\0\0\0\0"s, KIV_E_UNEXPECTED, "none"},
    };
    for (const auto &c : cases) {
        RegistryValue value;
        EXPECT_EQ(decodeValue(c.type, asBytes(c.bytes), value), c.result) << c.name;
        EXPECT_EQ(describe(value), c.value) << c.name;
        kivRegistryValueClear(&value);
    }
}

constexpr uint32_t kReadWrite = 0x01F;
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
    // Writes bytes past the component, as another program might have.
    void storeRaw(const char *keyPath, const char *name, uint32_t type, const std::string &data) {
        std::unique_ptr<Key> top, key;
        Disposition disposition;
        ASSERT_EQ(userStore.openRoot(kKeyCreateSubKey, top), 0u);
        ASSERT_EQ(top->create(keyPath, kKeySetValue, key, disposition), 0u);
        ASSERT_EQ(key->setValue(name, type, asBytes(data)), 0u);
    }
    // The result of every operation that takes a key handle, closeKey last.
    std::vector<kivResult> everyOperation(int32_t handle) {
        int32_t out = 7;
        RegistryValue value;
        StringList names, none{0, nullptr};
        NamedValueList values;
        RegistryKeyInfo info;
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
    Store machineStore{dir.file("machine/registry.db")};
    Store userStore{dir.file("user.db")};
    RegistryObject object{machineStore, userStore};
    IRegistry *reg = object.interface();
};

TEST_F(RegistryTest, HandleTableDoublesAndReusesTheLastClosedSlot) {
    for (int i = 0; i < 32; ++i) root();
    EXPECT_EQ(object.handles->capacity(), 32u);
    EXPECT_EQ(root(), 32);
    EXPECT_EQ(object.handles->capacity(), 64u);
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
    storeRaw("Values", "qword", kRegQword, "\1\0\0\0\0\0\0\0"s);  // decoded by nothing
    EXPECT_EQ(query(key, "qword"), error(KIV_E_UNEXPECTED));
    EXPECT_EQ(multiple({"big", "qword"}), error(KIV_E_UNEXPECTED));
    EXPECT_EQ(reg->vtbl->deleteValue(reg, key, "Qword"), 0u);
    EXPECT_EQ(reg->vtbl->deleteValue(reg, key, "qword"), KIV_E_RT_NOT_FOUND);
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

TEST_F(RegistryTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
    constexpr int kWriters = 4, kValues = 150;
    auto name = [](int w, int i) { return "w" + std::to_string(w) + "-" + std::to_string(i); };
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.push_back(spawn([&, w] {
            int32_t key = open(root(), "Shared");
            for (int i = 0; i < kValues; ++i)
                if (set(key, name(w, i).c_str(), Value::string(name(w, i)))) return 1;
            return 0;
        }));
    for (pid_t pid : writers) EXPECT_EQ(waitFor(pid), 0);
    int32_t key = open(root(), "Shared", 0);
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kValues; ++i)
            EXPECT_EQ(query(key, name(w, i).c_str()), "string:" + name(w, i));
}

TEST_F(RegistryTest, AProcessThatMayNotWriteTheStoreStillReadsIt) {
    ASSERT_EQ(waitFor(spawn([&] {
                  return set(open(root(), "Shared"), "greeting", Value::string("hello")) ? 1 : 0;
              })),
              0);
    // Root may write anything: the reader then drops to an unprivileged user.
    bool privileged = geteuid() == 0;
    ASSERT_EQ(privileged ? chmod(dir.path().c_str(), 0755) : chmod(userStore.path().c_str(), 0444),
              0);
    if (!privileged) {
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
