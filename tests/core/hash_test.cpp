// SPDX-License-Identifier: Apache-2.0
// The string-keyed hash table: lookups, growth, removal with callbacks and iteration order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/hash.h"

namespace {

struct TableDeleter {
    void operator()(kivHashTable *t) const { kivHashDestroy(t, nullptr); }
};
using Table = std::unique_ptr<kivHashTable, TableDeleter>;

void *value(uintptr_t v) {
    return reinterpret_cast<void *>(v);
}

std::vector<std::string> keysInWalkOrder(kivHashTable *t) {
    std::vector<std::string> keys;
    kivHashIter it;
    for (kivHashIterBegin(&it, t); it.current;) {
        const void *key;
        kivHashIterNext(&it, &key, nullptr);
        keys.emplace_back(static_cast<const char *>(key));
    }
    return keys;
}

TEST(HashString, MatchesTheDefinition) {
    EXPECT_EQ(kivHashString(""), 0u);
    EXPECT_EQ(kivHashString("a"), 97u * 31u);
    EXPECT_EQ(kivHashString("ab"), (97u * 31u + 98u) * 31u);
    EXPECT_EQ(kivHashString("\xff"), 255u * 31u);  // bytes are unsigned
}

TEST(Hash, InsertGetRemove) {
    Table t(kivHashCreate(4, 0));
    EXPECT_EQ(kivHashInsert(t.get(), "one", value(1)), 1);
    EXPECT_EQ(kivHashInsert(t.get(), "one", value(9)), 0);
    EXPECT_EQ(kivHashGet(t.get(), "one"), value(1));
    EXPECT_EQ(kivHashInsert(t.get(), "zero", nullptr), 1);
    EXPECT_EQ(kivHashGet(t.get(), "zero"), nullptr);
    EXPECT_EQ(kivHashContains(t.get(), "zero"), 1);
    EXPECT_EQ(kivHashContains(t.get(), "absent"), 0);
    EXPECT_EQ(t->count, 2u);

    static std::vector<void *> released;
    released.clear();
    EXPECT_EQ(kivHashRemove(t.get(), "one", [](void *v) { released.push_back(v); }), 1);
    EXPECT_EQ(released, std::vector<void *>{value(1)});
    EXPECT_EQ(kivHashRemove(t.get(), "one", nullptr), 0);
    EXPECT_EQ(kivHashRemove(t.get(), "zero", nullptr), 1);
    EXPECT_EQ(t->count, 0u);
}

TEST(Hash, KeysAreComparedByContentUnlessPointerKeyed) {
    Table t(kivHashCreate(8, 0));
    std::string a = "same", b = "same";
    kivHashInsert(t.get(), a.c_str(), value(1));
    EXPECT_EQ(kivHashGet(t.get(), b.c_str()), value(1));

    Table p(kivHashCreate(8, 0));
    EXPECT_EQ(kivHashInsertPtr(p.get(), a.c_str(), value(2)), 1);
    EXPECT_EQ(kivHashInsertPtr(p.get(), a.c_str(), value(3)), 0);
    EXPECT_EQ(kivHashContainsPtr(p.get(), a.c_str()), 1);
    EXPECT_EQ(kivHashContainsPtr(p.get(), b.c_str()), 0);
    EXPECT_EQ(kivHashGetPtr(p.get(), a.c_str()), value(2));
    EXPECT_EQ(kivHashRemovePtr(p.get(), b.c_str()), 0);
    EXPECT_EQ(kivHashRemovePtr(p.get(), a.c_str()), 1);
    EXPECT_EQ(p->count, 0u);
}

TEST(Hash, GrowsToTwiceTheEntryCount) {
    // Copied keys: the caller's temporary strings are gone by the time they are looked up.
    Table t(kivHashCreate(16, 1));
    for (int i = 0; i < 32; ++i) kivHashInsert(t.get(), std::to_string(i).c_str(), value(i + 1));
    EXPECT_EQ(t->bucketCount, 16u);
    kivHashInsert(t.get(), "32", value(33));
    EXPECT_EQ(t->bucketCount, 66u);
    for (int i = 0; i <= 32; ++i)
        EXPECT_EQ(kivHashGet(t.get(), std::to_string(i).c_str()), value(i + 1)) << i;

    Table one(kivHashCreate(1, 1));
    kivHashInsert(one.get(), "a", value(1));
    kivHashInsert(one.get(), "b", value(2));
    EXPECT_EQ(one->bucketCount, 1u);
    kivHashInsert(one.get(), "c", value(3));
    EXPECT_EQ(one->bucketCount, 6u);
}

TEST(Hash, IterationVisitsBucketsInOrderNewestFirst) {
    // With one bucket the walk is the chain: most recently added first.
    Table t(kivHashCreate(1, 0));
    EXPECT_TRUE(keysInWalkOrder(t.get()).empty());
    kivHashInsert(t.get(), "a", value(1));
    kivHashInsert(t.get(), "b", value(2));
    EXPECT_EQ(keysInWalkOrder(t.get()), (std::vector<std::string>{"b", "a"}));

    Table u(kivHashCreate(4, 0));
    for (const char *k : {"a", "b", "c", "d", "e"}) kivHashInsert(u.get(), k, value(1));
    // 3007 % 4 = 3, 3038 % 4 = 2, 3069 % 4 = 1, 3100 % 4 = 0, 3131 % 4 = 3
    EXPECT_EQ(keysInWalkOrder(u.get()), (std::vector<std::string>{"d", "c", "b", "e", "a"}));
}

TEST(Hash, ClearAndDestroyReleaseEveryValue) {
    static int releasedCount;
    releasedCount = 0;
    auto release = [](void *) { ++releasedCount; };

    kivHashTable *t = kivHashCreate(4, 1);
    for (int i = 0; i < 20; ++i) kivHashInsert(t, std::to_string(i).c_str(), value(i));
    uint32_t buckets = t->bucketCount;
    kivHashClear(t, release);
    EXPECT_EQ(releasedCount, 20);
    EXPECT_EQ(t->count, 0u);
    EXPECT_EQ(t->bucketCount, buckets);
    EXPECT_TRUE(keysInWalkOrder(t).empty());
    EXPECT_EQ(kivHashInsert(t, "again", value(1)), 1);
    EXPECT_EQ(kivHashGet(t, "again"), value(1));
    kivHashDestroy(t, release);
    EXPECT_EQ(releasedCount, 21);
}

}  // namespace
