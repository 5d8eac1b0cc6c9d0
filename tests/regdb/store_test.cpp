// What only the store shows: the ERROR_MORE_DATA protocol, enumeration from any index, and
// changes made through another connection of the same file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regdb/store.h"
#include "test_support.h"
#include "values.h"

namespace {

using regdbtest::numbered;
using namespace kiv::regdb;

constexpr uint32_t kAll =
    kKeyQueryValue | kKeySetValue | kKeyCreateSubKey | kKeyEnumerateSubKeys | kDelete;

std::unique_ptr<Key> openPath(Store &store, std::string_view path) {
    std::unique_ptr<Key> root, key;
    Disposition disposition;
    EXPECT_EQ(store.openRoot(kAll, root), 0u);
    EXPECT_EQ(root->create(path, kAll, key, disposition), 0u);
    return key;
}

class StoreTest : public testing::Test {
  protected:
    kivtest::TempDir dir;
    Store store{dir.file("registry.db")};
};

TEST_F(StoreTest, MoreDataAndNoMoreItems) {
    auto key = openPath(store, "K");
    openPath(store, "K\\abcdefgh");
    ASSERT_EQ(key->setValue("value-name", kRegBinary,
                            {reinterpret_cast<const uint8_t *>("0123456789"), 10}),
              0u);

    char name[9];
    uint32_t length = 0;
    EXPECT_EQ(key->enumSubKey(0, std::span(name, 8), length), win::kMoreData);
    EXPECT_EQ(key->enumSubKey(0, std::span(name, 9), length), 0u);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(key->enumSubKey(1, name, length), win::kNoMoreItems);
    EXPECT_EQ(key->enumValue(0, name, length), win::kMoreData);

    uint8_t buffer[32];
    uint32_t type = 0, size = 0;
    EXPECT_EQ(key->queryValue("value-name", type, std::span(buffer, 4), size), win::kMoreData);
    EXPECT_EQ(size, 10u);
    ValueEntry entries[2] = {{"value-name"}, {"VALUE-NAME"}};
    EXPECT_EQ(key->queryMultipleValues(entries, std::span(buffer, 12), size), win::kMoreData);
    EXPECT_EQ(size, 20u);
    ASSERT_EQ(key->queryMultipleValues(entries, buffer, size), 0u);
    EXPECT_EQ(entries[1].offset, 10u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer) + 10, 10), "0123456789");
}

TEST_F(StoreTest, EnumerationContinuesFromAnyIndex) {
    auto key = openPath(store, "Many");
    std::vector<std::string> expected;
    for (int i = 0; i < 30; ++i) expected.push_back(numbered(i % 2 ? "k" : "K", 10 + i));
    for (auto it = expected.rbegin(); it != expected.rend(); ++it) openPath(store, "Many\\" + *it);

    auto at = [&](uint32_t index, size_t room = 16) {
        char name[16];
        uint32_t length;
        WinError e = key->enumSubKey(index, std::span(name, room), length);
        return e ? numbered("error ", e) : std::string(name, length);
    };
    for (uint32_t i = 0; i < 30; ++i) EXPECT_EQ(at(i), expected[i]);
    EXPECT_EQ(at(30), "error 259");
    EXPECT_EQ(at(17), expected[17]);
    EXPECT_EQ(at(3), expected[3]);
    // A name that did not fit keeps the place: the retry reads the same index.
    EXPECT_EQ(at(4, 2), "error 234");
    EXPECT_EQ(at(4), expected[4]);
    EXPECT_EQ(at(5), expected[5]);
}

TEST_F(StoreTest, ChangesThroughAnotherConnectionAreSeen) {
    auto key = openPath(store, "Shared");
    Store other(store.path());
    auto otherKey = openPath(other, "SHARED");
    ASSERT_EQ(otherKey->setValue("v", kRegSz, {reinterpret_cast<const uint8_t *>("x"), 2}), 0u);
    uint8_t buffer[8];
    uint32_t type = 0, size = 0;
    EXPECT_EQ(key->queryValue("V", type, buffer, size), 0u);
    EXPECT_EQ(size, 2u);

    std::unique_ptr<Key> root;
    ASSERT_EQ(other.openRoot(kAll, root), 0u);
    ASSERT_EQ(root->deleteSubKey("shared"), 0u);
    EXPECT_EQ(key->queryValue("v", type, buffer, size), win::kKeyDeleted);
    // A new key of the same name is another key: the old handle stays stale.
    openPath(other, "Shared");
    EXPECT_EQ(key->queryValue("v", type, buffer, size), win::kKeyDeleted);
}

TEST_F(StoreTest, DamagedFileIsReported) {
    kivtest::writeFile(store.path(), std::string(4096, 'x'));
    std::unique_ptr<Key> root;
    EXPECT_EQ(store.openRoot(kKeyQueryValue, root), win::kBadDatabase);
}

}  // namespace
