// The registry store: Windows registry rules over an SQLite file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "regdb/store.h"
#include "test_support.h"

namespace {

using namespace kiv::regdb;
using namespace std::string_literals;
using kivtest::TempDir;

constexpr uint32_t kAll =
    kKeyQueryValue | kKeySetValue | kKeyCreateSubKey | kKeyEnumerateSubKeys | kDelete;

std::span<const uint8_t> bytesOf(const std::string &s) {
    return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

std::unique_ptr<Key> mustCreate(const Key &parent, std::string_view path, uint32_t access = kAll) {
    std::unique_ptr<Key> key;
    Disposition disposition;
    EXPECT_EQ(parent.create(path, access, key, disposition), 0u) << path;
    return key;
}

std::vector<std::string> names(const Key &key, bool subKeys) {
    std::vector<std::string> result;
    char name[20000];
    uint32_t length;
    WinError e;
    for (uint32_t i = 0;
         (e = subKeys ? key.enumSubKey(i, name, length) : key.enumValue(i, name, length)) == 0; ++i)
        result.emplace_back(name, length);
    EXPECT_EQ(e, win::kNoMoreItems);
    return result;
}

// Value data as a string, or "error N".
std::string valueOf(const Key &key, std::string_view name, uint32_t *typeOut = nullptr) {
    std::vector<uint8_t> buffer(1 << 16);
    uint32_t type = 0, size = 0;
    WinError e = key.queryValue(name, type, buffer, size);
    if (e) return "error " + std::to_string(e);
    if (typeOut) *typeOut = type;
    return {reinterpret_cast<const char *>(buffer.data()), size};
}

class StoreTest : public testing::Test {
  protected:
    std::unique_ptr<Key> root(uint32_t access = kAll) {
        std::unique_ptr<Key> key;
        EXPECT_EQ(store.openRoot(access, key), 0u);
        return key;
    }

    TempDir dir;
    std::string path = dir.file("registry.db");
    Store store{path};
};

TEST_F(StoreTest, NamesAreCaseInsensitiveAndKeepTheirCase) {
    auto top = root();
    std::unique_ptr<Key> key;
    Disposition disposition;
    ASSERT_EQ(top->create("Alpha\\Beta", kAll, key, disposition), 0u);
    EXPECT_EQ(disposition, Disposition::kCreatedNewKey);
    ASSERT_EQ(top->create("ALPHA\\bETA", kAll, key, disposition), 0u);
    EXPECT_EQ(disposition, Disposition::kOpenedExistingKey);

    std::unique_ptr<Key> alpha;
    ASSERT_EQ(top->open("alpha", kAll, alpha), 0u);
    EXPECT_EQ(names(*top, true), std::vector<std::string>{"Alpha"});
    EXPECT_EQ(names(*alpha, true), std::vector<std::string>{"Beta"});

    ASSERT_EQ(key->setValue("Colour", kRegSz, bytesOf("red\0"s)), 0u);
    ASSERT_EQ(key->setValue("COLOUR", kRegSz, bytesOf("blue\0"s)), 0u);
    EXPECT_EQ(valueOf(*key, "colour"), "blue\0"s);
    EXPECT_EQ(names(*key, false), std::vector<std::string>{"Colour"});
}

TEST_F(StoreTest, SubkeyPathRules) {
    struct Case {
        std::string path;
        WinError result;
    };
    const Case cases[] = {
        {"a\\b\\c", 0},
        {"a\\b\\", 0},
        {std::string(kMaxKeyNameLength, 'k'), 0},
        {"\\a", win::kBadPathname},
        {"a\\\\b", win::kBadPathname},
        {"\\", win::kBadPathname},
        {std::string(kMaxKeyNameLength + 1, 'k'), win::kInvalidParameter},
        {"a\\" + std::string(kMaxKeyNameLength + 1, 'k'), win::kInvalidParameter},
    };
    auto top = root();
    for (const auto &c : cases) {
        std::unique_ptr<Key> key;
        Disposition disposition;
        EXPECT_EQ(top->create(c.path, kAll, key, disposition), c.result) << c.path;
        EXPECT_EQ(top->open(c.path, kAll, key), c.result) << c.path;
        EXPECT_EQ(key != nullptr, c.result == 0) << c.path;
    }
    std::unique_ptr<Key> same;
    ASSERT_EQ(top->open("", kKeyQueryValue, same), 0u);
    EXPECT_EQ(same->id(), Key::kTopKeyId);
}

TEST_F(StoreTest, ValuesKeepTheirBytesAndType) {
    auto key = mustCreate(*root(), "Values");
    struct Case {
        std::string name;
        uint32_t type;
        std::string bytes;
    };
    const Case cases[] = {
        {"", kRegSz, "default\0"s},
        {"unterminated", kRegSz, "abc"},
        {"binary", kRegBinary, "\0\1\2\xff"s},
        {"empty", kRegBinary, ""},
        {"odd type", 0x12345, "x"},
        {std::string(kMaxValueNameLength, 'v'), kRegDword, "\1\0\0\0"s},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(key->setValue(c.name, c.type, bytesOf(c.bytes)), 0u) << c.name;
        uint32_t type = 0;
        EXPECT_EQ(valueOf(*key, c.name, &type), c.bytes) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    EXPECT_EQ(key->setValue(std::string(kMaxValueNameLength + 1, 'v'), kRegSz, bytesOf("x\0"s)),
              win::kInvalidParameter);
    EXPECT_EQ(valueOf(*key, "missing"), "error 2");
    EXPECT_EQ(key->deleteValue("BINARY"), 0u);
    EXPECT_EQ(key->deleteValue("binary"), win::kFileNotFound);
    EXPECT_EQ(valueOf(*key, "binary"), "error 2");
}

TEST_F(StoreTest, MoreDataAndNoMoreItems) {
    auto key = mustCreate(*root(), "K");
    mustCreate(*key, "abcdefgh");
    ASSERT_EQ(key->setValue("value-name", kRegBinary, bytesOf("0123456789")), 0u);

    char name[9];
    uint32_t length = 0;
    EXPECT_EQ(key->enumSubKey(0, std::span(name, 8), length), win::kMoreData);
    EXPECT_EQ(key->enumSubKey(0, std::span(name, 9), length), 0u);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(key->enumSubKey(1, std::span(name, 9), length), win::kNoMoreItems);
    EXPECT_EQ(key->enumValue(0, std::span(name, 9), length), win::kMoreData);
    EXPECT_EQ(key->enumValue(5, std::span(name, 9), length), win::kNoMoreItems);

    uint8_t small[4];
    uint32_t type = 0, size = 0;
    EXPECT_EQ(key->queryValue("value-name", type, small, size), win::kMoreData);
    EXPECT_EQ(size, 10u);

    ValueEntry entries[2] = {{"value-name"}, {"VALUE-NAME"}};
    uint8_t buffer[32];
    uint32_t total = 0;
    EXPECT_EQ(key->queryMultipleValues(entries, std::span(buffer, 12), total), win::kMoreData);
    EXPECT_EQ(total, 20u);
    ASSERT_EQ(key->queryMultipleValues(entries, buffer, total), 0u);
    EXPECT_EQ(entries[1].offset, 10u);
    EXPECT_EQ(entries[1].size, 10u);
    EXPECT_EQ(entries[1].type, kRegBinary);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer) + 10, 10), "0123456789");

    ValueEntry missing[2] = {{"value-name"}, {"nope"}};
    EXPECT_EQ(key->queryMultipleValues(missing, buffer, total), win::kFileNotFound);
}

TEST_F(StoreTest, EnumerationWalksInNameOrderFromAnyIndex) {
    auto key = mustCreate(*root(), "Many");
    std::vector<std::string> expected;
    for (int i = 49; i >= 0; --i) {
        char name[8];
        std::snprintf(name, sizeof name, "%s%02d", i % 2 ? "k" : "K", i);
        mustCreate(*key, name);
    }
    for (int i = 0; i < 50; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "%s%02d", i % 2 ? "k" : "K", i);
        expected.push_back(name);
    }
    EXPECT_EQ(names(*key, true), expected);

    char name[8];
    uint32_t length;
    ASSERT_EQ(key->enumSubKey(30, name, length), 0u);
    EXPECT_EQ(std::string(name), expected[30]);
    ASSERT_EQ(key->enumSubKey(31, name, length), 0u);
    EXPECT_EQ(std::string(name), expected[31]);
    ASSERT_EQ(key->enumSubKey(7, name, length), 0u);
    EXPECT_EQ(std::string(name), expected[7]);
    // A failed read of index 8 keeps the place; the retry still reads index 8.
    EXPECT_EQ(key->enumSubKey(8, std::span(name, 2), length), win::kMoreData);
    ASSERT_EQ(key->enumSubKey(8, name, length), 0u);
    EXPECT_EQ(std::string(name), expected[8]);
}

TEST_F(StoreTest, DeletedKeyIsReportedOnEveryOperation) {
    auto top = root();
    auto stale = mustCreate(*top, "Gone\\Child");
    ASSERT_EQ(stale->setValue("v", kRegSz, bytesOf("x\0"s)), 0u);
    ASSERT_EQ(top->deleteSubKey("gone\\child"), 0u);
    // A new key of the same name is another key: the old handle stays stale.
    auto fresh = mustCreate(*top, "Gone\\Child");
    EXPECT_EQ(valueOf(*fresh, "v"), "error 2");

    std::unique_ptr<Key> key;
    Disposition disposition;
    char name[16];
    uint32_t length, type, size;
    uint8_t buffer[16];
    ValueEntry entries[1] = {{"v"}};
    const WinError results[] = {
        stale->open("", kAll, key),
        stale->open("x", kAll, key),
        stale->create("", kAll, key, disposition),
        stale->create("new", kAll, key, disposition),
        stale->deleteSubKey(""),
        stale->deleteSubKey("x"),
        stale->enumSubKey(0, name, length),
        stale->enumValue(0, name, length),
        stale->flush(),
        stale->setValue("v", kRegSz, bytesOf("y\0"s)),
        stale->queryValue("v", type, buffer, size),
        stale->queryMultipleValues(entries, buffer, size),
        stale->deleteValue("v"),
    };
    for (size_t i = 0; i < std::size(results); ++i)
        EXPECT_EQ(results[i], win::kKeyDeleted) << "operation " << i;
    EXPECT_EQ(names(*fresh, true), std::vector<std::string>{});
}

TEST_F(StoreTest, DeleteRules) {
    auto top = root();
    auto parent = mustCreate(*top, "Parent\\Child");
    EXPECT_EQ(top->deleteSubKey("Parent"), win::kAccessDenied);
    EXPECT_EQ(top->deleteSubKey("Nobody"), win::kFileNotFound);
    EXPECT_EQ(top->deleteSubKey(""), win::kAccessDenied);
    EXPECT_EQ(top->deleteSubKey("\\Parent"), win::kBadPathname);

    ASSERT_EQ(parent->setValue("v", kRegSz, bytesOf("x\0"s)), 0u);
    ASSERT_EQ(parent->deleteSubKey(""), 0u);
    ASSERT_EQ(top->deleteSubKey("Parent"), 0u);
    EXPECT_EQ(names(*top, true), std::vector<std::string>{});
    auto again = mustCreate(*top, "Parent\\Child");
    EXPECT_EQ(names(*again, false), std::vector<std::string>{});
}

TEST_F(StoreTest, HandleRightsAreEnforced) {
    auto top = root();
    mustCreate(*top, "Existing");
    auto reader = root(kKeyQueryValue);
    std::unique_ptr<Key> key;
    Disposition disposition;
    char name[64];
    uint32_t length;

    EXPECT_EQ(reader->setValue("v", kRegSz, bytesOf("x\0"s)), win::kAccessDenied);
    EXPECT_EQ(reader->deleteValue("v"), win::kAccessDenied);
    EXPECT_EQ(reader->enumSubKey(0, name, length), win::kAccessDenied);
    EXPECT_EQ(reader->enumValue(0, name, length), win::kNoMoreItems);
    EXPECT_EQ(reader->create("New", kKeyQueryValue, key, disposition), win::kAccessDenied);
    EXPECT_EQ(reader->create("existing", kKeyQueryValue, key, disposition), 0u);
    EXPECT_EQ(disposition, Disposition::kOpenedExistingKey);

    auto enumerator = root(kKeyEnumerateSubKeys);
    EXPECT_EQ(enumerator->enumSubKey(0, name, length), 0u);
    EXPECT_EQ(enumerator->enumValue(0, name, length), win::kAccessDenied);
    uint32_t type, size;
    uint8_t buffer[8];
    EXPECT_EQ(enumerator->queryValue("v", type, buffer, size), win::kAccessDenied);
}

TEST_F(StoreTest, ReadOnlyMarkerRefusesWritesAndKeepsReads) {
    auto top = root();
    auto key = mustCreate(*top, "Shared");
    ASSERT_EQ(key->setValue("v", kRegSz, bytesOf("kept\0"s)), 0u);
    kivtest::writeFile(store.readOnlyMarker(), "");
    EXPECT_FALSE(store.writable());

    std::unique_ptr<Key> out;
    Disposition disposition;
    EXPECT_EQ(store.openRoot(kKeyCreateSubKey | kKeyQueryValue, out), win::kAccessDenied);
    EXPECT_EQ(store.openRoot(kDelete, out), win::kAccessDenied);
    auto reader = root(kKeyQueryValue | kKeyEnumerateSubKeys);
    EXPECT_EQ(reader->open("Shared", kKeySetValue, out), win::kAccessDenied);
    EXPECT_EQ(reader->create("Shared", kKeyQueryValue, out, disposition), 0u);
    EXPECT_EQ(valueOf(*out, "v"), "kept\0"s);
    EXPECT_EQ(top->create("New", kKeyQueryValue, out, disposition), win::kAccessDenied);
    EXPECT_EQ(top->deleteSubKey("Shared"), win::kAccessDenied);
    EXPECT_EQ(names(*reader, true), std::vector<std::string>{"Shared"});
}

TEST_F(StoreTest, MissingStoreReadsEmptyAndIsCreatedByTheFirstWrite) {
    Store missing(dir.file("not/yet/here.db"));
    std::unique_ptr<Key> top;
    ASSERT_EQ(missing.openRoot(kKeyQueryValue | kKeyEnumerateSubKeys, top), 0u);
    std::unique_ptr<Key> key;
    EXPECT_EQ(top->open("Anything", kKeyQueryValue, key), win::kFileNotFound);
    EXPECT_EQ(names(*top, true), std::vector<std::string>{});
    EXPECT_EQ(valueOf(*top, ""), "error 2");
    EXPECT_EQ(top->flush(), 0u);
    EXPECT_FALSE(kivtest::runShell("test -e " + dir.file("not")).exitCode == 0);

    ASSERT_EQ(missing.openRoot(kAll, top), 0u);
    auto created = mustCreate(*top, "Made");
    ASSERT_EQ(created->setValue("v", kRegSz, bytesOf("x\0"s)), 0u);
    EXPECT_EQ(created->flush(), 0u);
    EXPECT_TRUE(kivtest::runShell("test -f " + dir.file("not/yet/here.db")).exitCode == 0);

    Store nowhere("");
    EXPECT_EQ(nowhere.openRoot(kKeySetValue, top), win::kAccessDenied);
    ASSERT_EQ(nowhere.openRoot(kKeyQueryValue, top), 0u);
    EXPECT_EQ(top->open("Made", kKeyQueryValue, key), win::kFileNotFound);
}

TEST_F(StoreTest, ChangesAreSeenThroughAnotherConnection) {
    auto key = mustCreate(*root(), "Shared");
    ASSERT_EQ(key->setValue("v", kRegSz, bytesOf("one\0"s)), 0u);

    Store other(path);
    std::unique_ptr<Key> top, otherKey;
    ASSERT_EQ(other.openRoot(kAll, top), 0u);
    ASSERT_EQ(top->open("SHARED", kAll, otherKey), 0u);
    EXPECT_EQ(valueOf(*otherKey, "v"), "one\0"s);
    ASSERT_EQ(otherKey->setValue("v", kRegSz, bytesOf("two\0"s)), 0u);
    EXPECT_EQ(valueOf(*key, "v"), "two\0"s);
    ASSERT_EQ(top->deleteSubKey("Shared"), 0u);
    EXPECT_EQ(valueOf(*key, "v"), "error 1018");
}

TEST_F(StoreTest, DamagedFileIsReported) {
    kivtest::writeFile(path, std::string(4096, 'x'));
    std::unique_ptr<Key> top;
    EXPECT_EQ(store.openRoot(kKeyQueryValue, top), win::kBadDatabase);
    EXPECT_EQ(store.openRoot(kAll, top), win::kBadDatabase);
}

}  // namespace
