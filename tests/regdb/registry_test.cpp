// The IRegistry component over two temporary stores: key handles, result codes, value kinds.
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

using namespace kiv::regdb;
using namespace std::string_literals;
using regdbtest::describe;
using regdbtest::Value;

constexpr uint32_t kReadWrite = 0x001 | 0x002 | 0x004 | 0x008 | 0x010;
constexpr uint32_t kCreate = KIV_REG_OPTION_CREATE;

class RegistryTest : public testing::Test {
  protected:
    int32_t userRoot(uint32_t access = kReadWrite) {
        int32_t key = KIV_REG_NO_KEY;
        EXPECT_EQ(reg->vtbl->openUserRoot(reg, 0x60000, access, &key), 0u);
        return key;
    }
    int32_t open(int32_t parent, const char *path, uint32_t options = kCreate,
                 uint32_t access = kReadWrite) {
        int32_t key = KIV_REG_NO_KEY;
        EXPECT_EQ(reg->vtbl->openKey(reg, parent, path, options, access, 0, &key), 0u) << path;
        return key;
    }
    std::vector<std::string> list(int32_t key, bool subKeys) {
        StringList names;
        auto rc = subKeys ? reg->vtbl->enumKeys(reg, key, &names)
                          : reg->vtbl->enumValues(reg, key, &names);
        EXPECT_EQ(rc, 0u);
        std::vector<std::string> result(names.strings, names.strings + names.count);
        kivStringListClear(&names);
        return result;
    }
    std::string query(int32_t key, const char *name) {
        RegistryValue value;
        kivResult rc = reg->vtbl->queryValue(reg, key, name, &value);
        std::string text = rc ? "error " + std::to_string(rc) : describe(value);
        kivRegistryValueClear(&value);
        return text;
    }
    // The raw bytes stored for a value, read past the component.
    std::string stored(const char *keyPath, const char *name, uint32_t &type) {
        std::unique_ptr<Key> top, key;
        EXPECT_EQ(userStore.openRoot(kKeyQueryValue, top), 0u);
        EXPECT_EQ(top->open(keyPath, kKeyQueryValue, key), 0u);
        std::vector<uint8_t> buffer(4096);
        uint32_t size = 0;
        EXPECT_EQ(key->queryValue(name, type, buffer, size), 0u);
        return {reinterpret_cast<char *>(buffer.data()), size};
    }
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
    Store machineStore{dir.file("machine.db")};
    Store userStore{dir.file("user.db")};
    RegistryObject object{machineStore, userStore};
    IRegistry *reg = object.interface();
};

TEST_F(RegistryTest, HandleTableDoublesAndReusesTheLastClosedSlot) {
    std::vector<int32_t> handles;
    for (int i = 0; i < 32; ++i) handles.push_back(userRoot());
    EXPECT_EQ(handles.back(), 31);
    EXPECT_EQ(object.handles->capacity(), 32u);
    EXPECT_EQ(userRoot(), 32);
    EXPECT_EQ(object.handles->capacity(), 64u);
    EXPECT_EQ(userRoot(), 33);

    EXPECT_EQ(reg->vtbl->closeKey(reg, 5), 0u);
    EXPECT_EQ(reg->vtbl->closeKey(reg, 9), 0u);
    EXPECT_EQ(userRoot(), 9);
    EXPECT_EQ(userRoot(), 5);
    EXPECT_EQ(userRoot(), 34);
}

TEST_F(RegistryTest, InvalidHandlesAreRefused) {
    int32_t closed = userRoot();
    ASSERT_EQ(reg->vtbl->closeKey(reg, closed), 0u);
    for (int32_t handle : {closed, -1, 64, INT32_MIN, INT32_MAX}) {
        int32_t out = 7;
        RegistryValue value;
        StringList names;
        NamedValueList values;
        RegistryKeyInfo info;
        StringList none{0, nullptr};
        const kivResult results[] = {
            reg->vtbl->openKey(reg, handle, "x", kCreate, kReadWrite, 0, &out),
            reg->vtbl->closeKey(reg, handle),
            reg->vtbl->deleteKey(reg, handle, "x"),
            reg->vtbl->getKeyInfo(reg, handle, &info),
            reg->vtbl->enumKeys(reg, handle, &names),
            reg->vtbl->flushKey(reg, handle),
            reg->vtbl->setValue(reg, handle, "v", Value::int32(1).get()),
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

TEST_F(RegistryTest, FailuresGiveTheirResultCodes) {
    int32_t root = userRoot();
    int32_t parent = open(root, "Parent\\Child");
    int32_t out = 7;
    EXPECT_EQ(reg->vtbl->openKey(reg, root, "Missing", 0, 0x008, 0, &out), KIV_E_RT_NOT_FOUND);
    EXPECT_EQ(out, KIV_REG_NO_KEY);
    EXPECT_EQ(reg->vtbl->openKey(reg, root, "parent", kCreate | KIV_REG_OPTION_EXCLUSIVE,
                                 kReadWrite, 0, &out),
              KIV_E_RT_EXISTS);
    EXPECT_EQ(out, KIV_REG_NO_KEY);
    EXPECT_EQ(reg->vtbl->openKey(reg, root, "\\bad", kCreate, kReadWrite, 0, &out), 0x800700A1u);
    EXPECT_EQ(reg->vtbl->deleteKey(reg, root, "Parent"), KIV_E_ACCESSDENIED);
    EXPECT_EQ(reg->vtbl->deleteKey(reg, root, nullptr), KIV_E_INVALIDARG);
    EXPECT_EQ(reg->vtbl->deleteValue(reg, parent, "nothing"), KIV_E_RT_NOT_FOUND);

    int32_t fresh = 0;
    ASSERT_EQ(reg->vtbl->openKey(reg, root, "Fresh", kCreate | KIV_REG_OPTION_EXCLUSIVE, kReadWrite,
                                 0, &fresh),
              0u);
    EXPECT_EQ(reg->vtbl->deleteKey(reg, root, "FRESH"), 0u);
    EXPECT_EQ(query(fresh, "v"), "error " + std::to_string(KIV_E_RT_KEY_DELETED));

    RegistryKeyInfo info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_EQ(reg->vtbl->getKeyInfo(reg, root, &info), KIV_E_NOTIMPL);
    EXPECT_EQ(info.subKeyCount, 0u);
    EXPECT_EQ(info.securityDescriptorLength, 0u);
}

TEST_F(RegistryTest, AccessFlagsGrantTheirRights) {
    int32_t root = userRoot();
    int32_t key = open(root, "Rights");
    ASSERT_EQ(reg->vtbl->setValue(reg, key, "v", Value::int32(7).get()), 0u);
    struct Case {
        uint32_t flags;
        bool query, set, enumerate;
    };
    const Case cases[] = {
        {0x000, false, false, false}, {0x004, false, false, true}, {0x008, true, false, false},
        {0x010, false, true, false},  {0x020, false, true, false}, {0x040, true, false, false},
        {0x080, true, false, false},  {0x100, false, true, false}, {0x200, true, false, false},
        {0x400, false, false, false},
    };
    for (const auto &c : cases) {
        int32_t h = open(root, "Rights", 0, c.flags);
        RegistryValue value;
        StringList names;
        auto expect = [](bool allowed) { return allowed ? 0u : KIV_E_ACCESSDENIED; };
        EXPECT_EQ(reg->vtbl->queryValue(reg, h, "v", &value), expect(c.query)) << c.flags;
        EXPECT_EQ(reg->vtbl->setValue(reg, h, "v", Value::int32(8).get()), expect(c.set))
            << c.flags;
        EXPECT_EQ(reg->vtbl->enumKeys(reg, h, &names), expect(c.enumerate)) << c.flags;
        kivRegistryValueClear(&value);
        kivStringListClear(&names);
        reg->vtbl->closeKey(reg, h);
    }
}

TEST_F(RegistryTest, ValueKindsAreStoredByteForByte) {
    int32_t key = open(userRoot(), "Kinds");
    struct Case {
        const char *name;
        Value value;
        uint32_t type;
        std::string bytes;
    };
    std::string zeroBlock =
        "!@KIV_INT64_VALUE#$\0"
        "0x0"s;
    zeroBlock.resize(40, '\0');
    Case cases[] = {
        {"int32", Value::int32(0xDEADBEEF), kRegDword, "\xef\xbe\xad\xde"s},
        {"int64", Value::int64(0), kRegMultiSz, zeroBlock},
        {"string", Value::string("text"), kRegSz, "text\0"s},
        {"list", Value::list({"a", "", "b"}), kRegMultiSz, "a\0!@KIV_EMPTY_STRING#$\0b\0\0"s},
        {"bytes", Value::bytes("\0\xff"s), kRegBinary, "\0\xff"s},
        {"", Value::string("default"), kRegSz, "default\0"s},
    };
    for (auto &c : cases) {
        ASSERT_EQ(reg->vtbl->setValue(reg, key, c.name, c.value.get()), 0u) << c.name;
        uint32_t type = 0;
        EXPECT_EQ(stored("Kinds", c.name, type), c.bytes) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(query(key, c.name), describe(*c.value.get())) << c.name;
    }
    EXPECT_EQ(query(key, nullptr), "string:default");

    // A value without a registry form writes nothing and succeeds.
    ASSERT_EQ(reg->vtbl->setValue(reg, key, "int32", Value::none().get()), 0u);
    EXPECT_EQ(query(key, "int32"), "int32:3735928559");
    ASSERT_EQ(reg->vtbl->setValue(reg, key, "nothing", Value::none(42).get()), 0u);
    EXPECT_EQ(query(key, "nothing"), "error " + std::to_string(KIV_E_RT_NOT_FOUND));
    EXPECT_EQ(reg->vtbl->setValue(reg, key, "bad", Value::none(KIV_REG_STRING).get()),
              KIV_E_INVALIDARG);
    EXPECT_EQ(reg->vtbl->setValue(reg, key, "bad", nullptr), KIV_E_INVALIDARG);
}

TEST_F(RegistryTest, MalformedStoredValuesAreRefused) {
    int32_t key = open(userRoot(), "Raw");
    struct Case {
        uint32_t type;
        std::string bytes;
        kivResult result;
    };
    const Case cases[] = {
        {kRegDword, "\1\0\0"s, KIV_E_FAIL},
        {kRegSz, "no NUL", KIV_E_FAIL},
        {kRegMultiSz, "\0"s, KIV_E_FAIL},
        {kRegMultiSz, "!@KIV_INT64_VALUE#$\0zz\0\0"s, KIV_E_FAIL},
        {kRegQword, "\1\0\0\0\0\0\0\0"s, KIV_E_UNEXPECTED},
        {kRegExpandSz, "%PATH%\0"s, KIV_E_UNEXPECTED},
    };
    for (const auto &c : cases) {
        storeRaw("Raw", "v", c.type, c.bytes);
        EXPECT_EQ(query(key, "v"), "error " + std::to_string(c.result)) << c.type;
    }
    storeRaw("Raw", "none", kRegNone, "ignored");
    EXPECT_EQ(query(key, "none"), "none");
}

TEST_F(RegistryTest, LargeValuesAndLongNames) {
    int32_t key = open(userRoot(), "Large");
    std::string big(100000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    ASSERT_EQ(reg->vtbl->setValue(reg, key, "big", Value::bytes(big).get()), 0u);
    EXPECT_EQ(query(key, "big"), "bytes:" + big);

    std::vector<std::string> names;
    for (size_t length : {1, 255, 256, 300, 5000, 16383}) names.push_back(std::string(length, 'n'));
    for (int i = 0; i < 20; ++i) names.push_back("v" + std::to_string(100 + i));
    for (const auto &name : names)
        ASSERT_EQ(reg->vtbl->setValue(reg, key, name.c_str(), Value::int32(1).get()), 0u);
    names.push_back("big");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(list(key, false), names);

    std::vector<std::string> subKeys;
    for (int i = 0; i < 17; ++i) subKeys.push_back("k" + std::to_string(10 + i));
    subKeys.push_back(std::string(255, 'z'));
    for (const auto &name : subKeys) open(key, name.c_str());
    EXPECT_EQ(list(key, true), subKeys);
}

TEST_F(RegistryTest, QueryMultipleValues) {
    int32_t key = open(userRoot(), "Multi");
    std::string big(3000, 'b');
    ASSERT_EQ(reg->vtbl->setValue(reg, key, "a", Value::string("alpha").get()), 0u);
    ASSERT_EQ(reg->vtbl->setValue(reg, key, "b", Value::bytes(big).get()), 0u);
    ASSERT_EQ(reg->vtbl->setValue(reg, key, "c", Value::int64(5).get()), 0u);
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
    EXPECT_EQ(values.count, 0u);
    EXPECT_EQ(values.entries, nullptr);
    EXPECT_EQ(run({}, values), 0u);
    EXPECT_EQ(values.count, 0u);
    kivNamedValueListClear(&values);
    EXPECT_EQ(run({"a", nullptr}, values), KIV_E_INVALIDARG);
}

TEST_F(RegistryTest, InterfaceBase) {
    void *out = nullptr;
    EXPECT_EQ(reg->vtbl->queryInterface(reg, KIV_IID_IUNKNOWN, &out), 0u);
    EXPECT_EQ(out, reg);
    EXPECT_EQ(reg->vtbl->queryInterface(reg, KIV_IID_IREGISTRY, &out), 0u);
    EXPECT_EQ(out, reg);
    EXPECT_EQ(reg->vtbl->queryInterface(reg, KIV_IID_IOBJECTFACTORY, &out), KIV_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(reg->vtbl->queryInterface(reg, "idl:kiv/IUnknown:1.0", &out), KIV_E_NOINTERFACE);
    EXPECT_STREQ(reg->vtbl->interfaceId(reg), KIV_IID_IREGISTRY);
    EXPECT_EQ(reg->vtbl->addRef(reg), 3u);
    EXPECT_EQ(reg->vtbl->comRelease(reg), 2u);
    EXPECT_EQ(reg->vtbl->comAddRef(reg), 3u);
    EXPECT_EQ(reg->vtbl->comQueryInterface(reg, "anything", &out), KIV_E_NOINTERFACE);
    for (int i = 0; i < 3; ++i) reg->vtbl->release(reg);
    EXPECT_DEATH(reg->vtbl->release(reg), "");
}

TEST_F(RegistryTest, ReadOnlyMachineStoreRefusesWriteAccessOnly) {
    kivtest::writeFile(machineStore.readOnlyMarker(), "");
    int32_t key = KIV_REG_NO_KEY;
    EXPECT_EQ(reg->vtbl->openMachineRoot(reg, 0x60000, 9, &key), KIV_E_ACCESSDENIED);
    EXPECT_EQ(key, KIV_REG_NO_KEY);
    ASSERT_EQ(reg->vtbl->openMachineRoot(reg, 0x70000, 8, &key), 0u);
    EXPECT_EQ(reg->vtbl->openKey(reg, key, "KIV", kCreate, 9, 0x3ffb32cc, &key),
              KIV_E_ACCESSDENIED);
    // The user store is unaffected.
    int32_t user = userRoot();
    EXPECT_GE(open(user, "KIV\\Classes"), 0);
}

}  // namespace
