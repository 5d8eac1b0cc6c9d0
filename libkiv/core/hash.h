// SPDX-License-Identifier: Apache-2.0
// kivHashTable: the library's chained hash table with string or pointer keys.
//
// String keys are NUL-terminated and compared by content; pointer keys by address. The table
// never owns its values (callbacks release them on removal when asked) and has no lock: its
// owner guards it. With copyKeys 0, the caller's key must live as long as its entry.
#pragma once

#include <cstdint>

extern "C" {

struct kivHashTable;

typedef void (*kivHashCallback)(void *value);

struct kivHashEntry {
    kivHashEntry *next;
    uint32_t hash;  // kept so that growth needs no new hashing
    const void *key;
    void *value;
};

// The one operations table shared by every table.
struct kivHashOps {
    int (*contains)(kivHashTable *table, const char *key);
    void *(*get)(kivHashTable *table, const char *key);                // null when absent
    int (*insert)(kivHashTable *table, const char *key, void *value);  // 0: key present
    int (*remove)(kivHashTable *table, const char *key, kivHashCallback callback);
    int (*containsPtr)(kivHashTable *table, const void *key);
    void *(*getPtr)(kivHashTable *table, const void *key);
    int (*insertPtr)(kivHashTable *table, const void *key, void *value);
    int (*removePtr)(kivHashTable *table, const void *key, kivHashCallback callback);
};

struct kivHashTable {
    const kivHashOps *operations;
    uint64_t (*keyLength)(const void *key);  // strlen + 1
    uint32_t copyKeys;
    uint32_t count;
    uint32_t bucketCount;  // at least 1
    kivHashEntry **buckets;
};

struct kivHashIter {
    kivHashTable *table;
    uint32_t bucket;
    kivHashEntry *current;  // null when the walk is over
};

// A table with bucketCount (>= 1) empty chains; copyKeys non-zero keeps copies of string keys.
kivHashTable *kivHashCreate(uint32_t bucketCount, int32_t copyKeys);
void kivHashDestroy(kivHashTable *table, kivHashCallback callback);
void kivHashClear(kivHashTable *table, kivHashCallback callback);

// Walk: begin, then while iter.current is set, kivHashIterNext. The table must not change.
void kivHashIterBegin(kivHashIter *iter, kivHashTable *table);
void kivHashIterNext(kivHashIter *iter, const void **key, void **value);

}  // extern "C"

// Call helpers: the operations are reached through the table's operations pointer.
inline int kivHashContains(kivHashTable *t, const char *key) {
    return t->operations->contains(t, key);
}
inline void *kivHashGet(kivHashTable *t, const char *key) {
    return t->operations->get(t, key);
}
inline int kivHashInsert(kivHashTable *t, const char *key, void *value) {
    return t->operations->insert(t, key, value);
}
inline int kivHashRemove(kivHashTable *t, const char *key, kivHashCallback callback = nullptr) {
    return t->operations->remove(t, key, callback);
}
inline int kivHashContainsPtr(kivHashTable *t, const void *key) {
    return t->operations->containsPtr(t, key);
}
inline void *kivHashGetPtr(kivHashTable *t, const void *key) {
    return t->operations->getPtr(t, key);
}
inline int kivHashInsertPtr(kivHashTable *t, const void *key, void *value) {
    return t->operations->insertPtr(t, key, value);
}
inline int kivHashRemovePtr(kivHashTable *t, const void *key, kivHashCallback callback = nullptr) {
    return t->operations->removePtr(t, key, callback);
}

// The string hash: h = h * 31 + byte over every byte including the NUL, modulo 2^32.
uint32_t kivHashString(const char *key);
