// The IRegistry component over two temporary stores: key handles, result codes, values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "regdb/handles.h"
#include "regdb/registry.h"
#include "regdb/store.h"
#include "test_support.h"
#include "values.h"

namespace {

using regdbtest::numbered;
using namespace kiv::regdb;
using namespace std::string_literals;
using regdbtest::describe;
using regdbtest::Value;

constexpr uint32_t kReadWrite = 0x001 | 0x002 | 0x004 | 0x008 | 0x010;
constexpr uint32_t kCreate = KIV_REG_OPTION_CREATE;
const std::string kNotFound = numbered("error ", KIV_E_RT_NOT_FOUND);

class RegistryTest : public testing::Test {
  protected:
    int32_t root(uint32_t access = kReadWrite, bool machine = false) {
        int32_t key = KIV_REG_NO_KEY;
        kivResult rc = machine ? reg->vtbl->openMachineRoot(reg, 0x60000, access, &key)
                               : reg->vtbl->openUserRoot(reg, 0x60000, access, &key);
        EXPECT_EQ(rc, 0u);
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
        EXPECT_EQ(subKeys ? reg->vtbl->enumKeys(reg, key, &names)
                          : reg->vtbl->enumValues(reg, key, &names),
                  0u);
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
        std::string text = rc ? numbered("error ", rc) : describe(value);
        kivRegistryValueClear(&value);
        return text;
    }
    // Writes bytes past the component, as another program might have.
    void storeRaw(const char *keyPath, const char *name, uint32_t type, const std::string &bytes) {
        std::unique_ptr<Key> top, key;
        Disposition disposition;
        ASSERT_EQ(userStore.openRoot(kKeyCreateSubKey, top), 0u);
        ASSERT_EQ(top->create(keyPath, kKeySetValue, key, disposition), 0u);
        ASSERT_EQ(key->setValue(name, type,
                                {reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()}),
                  0u);
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

TEST_F(RegistryTest, InvalidHandlesAreRefused) {
    int32_t closed = root();
    ASSERT_EQ(reg->vtbl->closeKey(reg, closed), 0u);
    for (int32_t handle : {closed, -1, 64, INT32_MIN}) {
        int32_t out = 7;
        RegistryValue value;
        StringList names, none{0, nullptr};
        NamedValueList values;
        RegistryKeyInfo info;
        const kivResult results[] = {
            openKey(handle, "x", kCreate, kReadWrite, out),
            reg->vtbl->closeKey(reg, handle),
            reg->vtbl->deleteKey(reg, handle, "x"),
            reg->vtbl->getKeyInfo(reg, handle, &info),
            reg->vtbl->enumKeys(reg, handle, &names),
            reg->vtbl->flushKey(reg, handle),
            set(handle, "v", Value::int32(1)),
            reg->vtbl->queryValue(reg, handle, "v", &value),
            reg->vtbl->queryMultipleValues(reg, handle, &none, &values),
            reg->vtbl->deleteValue(reg, handle, "v"),
            reg->vtbl->enumValues(reg, handle, &names),
        };
        for (size_t i = 0; i < std::size(results); ++i)
            EXPECT_EQ(results[i], KIV_E_INVALIDARG) << "handle " << handle << " slot " << i + 9;
        EXPECT_EQ(out, KIV_REG_NO_KEY);
    }
}

TEST_F(RegistryTest, KeysAndTheirResultCodes) {
    int32_t top = root();
    int32_t child = open(top, "Parent\\Child");
    const std::string longest(255, 'k'), tooLong(256, 'k');
    struct Case {
        const char *path;
        uint32_t options;
        kivResult result;
    };
    const Case cases[] = {
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
    EXPECT_EQ(list(top, true), (std::vector<std::string>{longest, "Parent"}));
    EXPECT_EQ(list(open(top, "parent"), true), (std::vector<std::string>{"Child", "New"}));

    EXPECT_EQ(reg->vtbl->deleteKey(reg, top, "Parent"), KIV_E_ACCESSDENIED);
    EXPECT_EQ(reg->vtbl->deleteKey(reg, top, "Nobody"), KIV_E_RT_NOT_FOUND);
    EXPECT_EQ(reg->vtbl->deleteKey(reg, top, ""), KIV_E_ACCESSDENIED);
    EXPECT_EQ(reg->vtbl->deleteKey(reg, top, nullptr), KIV_E_INVALIDARG);

    RegistryKeyInfo info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_EQ(reg->vtbl->getKeyInfo(reg, top, &info), KIV_E_NOTIMPL);
    EXPECT_EQ(info.subKeyCount + info.securityDescriptorLength, 0u);

    // Every operation on a handle whose key was deleted reports it.
    ASSERT_EQ(set(child, "v", Value::int32(1)), 0u);
    ASSERT_EQ(reg->vtbl->deleteKey(reg, top, "parent\\child"), 0u);
    int32_t out;
    StringList names;
    const kivResult results[] = {
        openKey(child, "", 0, kReadWrite, out),  openKey(child, "x", kCreate, kReadWrite, out),
        reg->vtbl->enumKeys(reg, child, &names), reg->vtbl->enumValues(reg, child, &names),
        reg->vtbl->flushKey(reg, child),         set(child, "v", Value::int32(2)),
        reg->vtbl->deleteValue(reg, child, "v"), reg->vtbl->deleteKey(reg, child, ""),
    };
    for (size_t i = 0; i < std::size(results); ++i)
        EXPECT_EQ(results[i], KIV_E_RT_KEY_DELETED) << "operation " << i;
    EXPECT_EQ(query(child, "v"), numbered("error ", KIV_E_RT_KEY_DELETED));
    EXPECT_EQ(query(open(top, "Parent\\Child"), "v"), kNotFound);
}

TEST_F(RegistryTest, AccessFlagsGrantTheirRights) {
    int32_t top = root();
    ASSERT_EQ(set(open(top, "Rights"), "v", Value::int32(7)), 0u);
    struct Case {
        uint32_t flags;
        bool query, set, enumerate, create;
    };
    const Case cases[] = {
        {0x000, false, false, false, false}, {0x001, false, false, false, true},
        {0x004, false, false, true, false},  {0x008, true, false, false, false},
        {0x010, false, true, false, false},  {0x020, false, true, false, false},
        {0x040, true, false, false, false},  {0x080, true, false, false, false},
        {0x100, false, true, false, false},  {0x200, true, false, false, false},
        {0x400, false, false, false, false},
    };
    auto expect = [](bool allowed) { return allowed ? 0u : KIV_E_ACCESSDENIED; };
    for (const auto &c : cases) {
        int32_t h = open(top, "Rights", 0, c.flags), created;
        StringList names;
        EXPECT_EQ(query(h, "v"), c.query ? "int32:7" : numbered("error ", KIV_E_ACCESSDENIED));
        EXPECT_EQ(set(h, "v", Value::int32(7)), expect(c.set)) << c.flags;
        EXPECT_EQ(reg->vtbl->enumKeys(reg, h, &names), expect(c.enumerate)) << c.flags;
        EXPECT_EQ(openKey(h, "Sub", kCreate, 0, created), expect(c.create)) << c.flags;
        reg->vtbl->deleteKey(reg, h, "Sub");
        kivStringListClear(&names);
    }
}

TEST_F(RegistryTest, ReadOnlyAndMissingStores) {
    // A missing store reads as an empty root and is created by the first write.
    int32_t machine = root(0x00C, true), key;
    EXPECT_EQ(list(machine, true), std::vector<std::string>{});
    EXPECT_EQ(openKey(machine, "KIV", 0, 0x008, key), KIV_E_RT_NOT_FOUND);
    EXPECT_EQ(query(machine, "v"), kNotFound);
    EXPECT_EQ(set(open(root(kReadWrite, true), "KIV"), "v", Value::string("kept")), 0u);

    kivtest::writeFile(machineStore.readOnlyMarker(), "");
    EXPECT_EQ(reg->vtbl->openMachineRoot(reg, 0x60000, 9, &key), KIV_E_ACCESSDENIED);
    EXPECT_EQ(key, KIV_REG_NO_KEY);
    machine = root(8, true);
    EXPECT_EQ(openKey(machine, "KIV", kCreate, 9, key), KIV_E_ACCESSDENIED);
    EXPECT_EQ(query(open(machine, "kiv", kCreate, 8), "V"), "string:kept");
    EXPECT_EQ(openKey(machine, "New", kCreate, 8, key), KIV_E_ACCESSDENIED);
    EXPECT_EQ(reg->vtbl->deleteKey(reg, machine, "KIV"), KIV_E_ACCESSDENIED);
    EXPECT_GE(open(root(), "KIV\\Classes"), 0);
}

TEST_F(RegistryTest, ValuesAndTheirEncoding) {
    int32_t key = open(root(), "Values");
    ASSERT_EQ(set(key, "list", Value::list({"a", "", "b"})), 0u);
    ASSERT_EQ(set(key, "", Value::string("default")), 0u);
    ASSERT_EQ(set(key, "Big", Value::bytes(std::string(100000, '\xa5'))), 0u);
    ASSERT_EQ(set(key, "BIG", Value::int64(1) /* same value, new kind */), 0u);
    std::unique_ptr<Key> top, raw;
    ASSERT_EQ(userStore.openRoot(kKeyQueryValue, top), 0u);
    ASSERT_EQ(top->open("Values", kKeyQueryValue, raw), 0u);
    uint8_t bytes[64];
    uint32_t type = 0, size = 0;
    ASSERT_EQ(raw->queryValue("list", type, bytes, size), 0u);
    EXPECT_EQ(type, kRegMultiSz);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), size),
              "a\0!@KIV_EMPTY_STRING#$\0b\0\0"s);

    EXPECT_EQ(query(key, "LIST"), "list:[a||b]");
    EXPECT_EQ(query(key, nullptr), "string:default");
    EXPECT_EQ(query(key, "big"), "int64:1");
    EXPECT_EQ(list(key, false), (std::vector<std::string>{"", "Big", "list"}));

    // Kinds without a registry form write nothing; values without their pointers are refused.
    EXPECT_EQ(set(key, "list", Value::none()), 0u);
    EXPECT_EQ(set(key, "other", Value::none(42)), 0u);
    EXPECT_EQ(query(key, "list"), "list:[a||b]");
    EXPECT_EQ(query(key, "other"), kNotFound);
    EXPECT_EQ(set(key, "bad", Value::none(KIV_REG_STRING)), KIV_E_INVALIDARG);
    EXPECT_EQ(reg->vtbl->setValue(reg, key, "bad", nullptr), KIV_E_INVALIDARG);

    storeRaw("Values", "dword", kRegDword, "\1\0\0"s);
    storeRaw("Values", "qword", kRegQword, "\1\0\0\0\0\0\0\0"s);
    EXPECT_EQ(query(key, "dword"), numbered("error ", KIV_E_FAIL));
    EXPECT_EQ(query(key, "qword"), numbered("error ", KIV_E_UNEXPECTED));
    EXPECT_EQ(reg->vtbl->deleteValue(reg, key, "qword"), 0u);
    EXPECT_EQ(reg->vtbl->deleteValue(reg, key, "qword"), KIV_E_RT_NOT_FOUND);
}

TEST_F(RegistryTest, EnumerationsWithLongNames) {
    int32_t key = open(root(), "Long");
    std::vector<std::string> names;
    for (size_t length : {1, 255, 256, 5000, 16383}) names.push_back(std::string(length, 'n'));
    for (int i = 0; i < 12; ++i) names.push_back(numbered("v", 10 + i));
    for (const auto &name : names) ASSERT_EQ(set(key, name.c_str(), Value::int32(1)), 0u);
    EXPECT_EQ(set(key, std::string(16384, 'n').c_str(), Value::int32(1)), KIV_E_INVALIDARG);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(list(key, false), names);

    std::vector<std::string> subKeys;
    for (int i = 0; i < 17; ++i) subKeys.push_back(numbered("k", 10 + i));
    for (const auto &name : subKeys) open(key, name.c_str());
    EXPECT_EQ(list(key, true), subKeys);
}

TEST_F(RegistryTest, QueryMultipleValues) {
    int32_t key = open(root(), "Multi");
    std::string big(3000, 'b');
    ASSERT_EQ(set(key, "a", Value::string("alpha")), 0u);
    ASSERT_EQ(set(key, "b", Value::bytes(big)), 0u);
    ASSERT_EQ(set(key, "c", Value::int64(5)), 0u);
    storeRaw("Multi", "bad", kRegDword, "\1"s);

    auto run = [&](std::vector<const char *> wanted, NamedValueList &values) {
        StringList names{static_cast<uint32_t>(wanted.size()), const_cast<char **>(wanted.data())};
        return reg->vtbl->queryMultipleValues(reg, key, &names, &values);
    };
    NamedValueList values;
    ASSERT_EQ(run({"C", "b", "a"}, values), 0u);
    ASSERT_EQ(values.count, 3u);
    EXPECT_STREQ(values.entries[0].name, "C");
    EXPECT_EQ(describe(values.entries[0].value), "int64:5");
    EXPECT_EQ(describe(values.entries[1].value), "bytes:" + big);
    EXPECT_EQ(describe(values.entries[2].value), "string:alpha");
    kivNamedValueListClear(&values);

    EXPECT_EQ(run({"a", "missing"}, values), KIV_E_RT_NOT_FOUND);
    EXPECT_EQ(values.count, 0u);
    EXPECT_EQ(run({"a", "b", "bad", "c"}, values), KIV_E_FAIL);
    EXPECT_EQ(values.entries, nullptr);
    EXPECT_EQ(run({"a", nullptr}, values), KIV_E_INVALIDARG);
}

}  // namespace
