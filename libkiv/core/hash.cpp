// SPDX-License-Identifier: Apache-2.0
// Chained hash table: entries keep their hash; growth doubles past twice the entry count.
#include "hash.h"

#include <cstring>

#include "kiv_base.h"

namespace {

uint64_t stringKeyLength(const void *key) {
    return std::strlen(static_cast<const char *>(key)) + 1;
}

uint32_t pointerHash(const void *key) {
    auto low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    return (low * 15u) >> 4;
}

kivHashEntry **chainOf(kivHashTable *t, uint32_t hash) {
    return &t->buckets[hash % t->bucketCount];
}

// The link that points at the matching entry (or at the chain's terminating null).
kivHashEntry **findString(kivHashTable *t, const char *key, uint32_t hash, uint64_t length) {
    kivHashEntry **link = chainOf(t, hash);
    for (; *link; link = &(*link)->next) {
        kivHashEntry *e = *link;
        if (e->hash == hash && t->keyLength(e->key) == length &&
            std::memcmp(e->key, key, length) == 0)
            break;
    }
    return link;
}

kivHashEntry **findPointer(kivHashTable *t, const void *key) {
    kivHashEntry **link = chainOf(t, pointerHash(key));
    while (*link && (*link)->key != key) link = &(*link)->next;
    return link;
}

// Rebuilds the chains over 2 * count buckets, moving entries in bucket and chain order.
void grow(kivHashTable *t) {
    uint32_t newCount = 2 * t->count;
    auto **buckets = static_cast<kivHashEntry **>(kivCalloc(newCount, sizeof(kivHashEntry *)));
    for (uint32_t i = 0; i < t->bucketCount; ++i) {
        kivHashEntry *e = t->buckets[i];
        while (e) {
            kivHashEntry *next = e->next;
            kivHashEntry **head = &buckets[e->hash % newCount];
            e->next = *head;
            *head = e;
            e = next;
        }
    }
    kivFree(t->buckets);
    t->buckets = buckets;
    t->bucketCount = newCount;
}

void addEntry(kivHashTable *t, kivHashEntry **head, uint32_t hash, const void *key, void *value) {
    auto *e = static_cast<kivHashEntry *>(kivCalloc(1, sizeof(kivHashEntry)));
    e->hash = hash;
    e->key = key;
    e->value = value;
    e->next = *head;
    *head = e;
    if (++t->count > 2 * t->bucketCount) grow(t);
}

void freeEntry(kivHashTable *t, kivHashEntry *e, bool stringKey, kivHashCallback callback) {
    if (stringKey && t->copyKeys) kivFree(const_cast<void *>(e->key));
    if (callback) callback(e->value);
    kivFree(e);
}

int containsString(kivHashTable *t, const char *key) {
    return *findString(t, key, kivHashString(key), t->keyLength(key)) != nullptr;
}

void *getString(kivHashTable *t, const char *key) {
    kivHashEntry *e = *findString(t, key, kivHashString(key), t->keyLength(key));
    return e ? e->value : nullptr;
}

int insertString(kivHashTable *t, const char *key, void *value) {
    uint32_t hash = kivHashString(key);
    uint64_t length = t->keyLength(key);
    if (*findString(t, key, hash, length)) return 0;
    const void *stored = key;
    if (t->copyKeys) {
        void *copy = kivMalloc(length);
        std::memcpy(copy, key, length);
        stored = copy;
    }
    addEntry(t, chainOf(t, hash), hash, stored, value);
    return 1;
}

int removeString(kivHashTable *t, const char *key, kivHashCallback callback) {
    kivHashEntry **link = findString(t, key, kivHashString(key), t->keyLength(key));
    kivHashEntry *e = *link;
    if (!e) return 0;
    *link = e->next;
    freeEntry(t, e, true, callback);
    --t->count;
    return 1;
}

int containsPointer(kivHashTable *t, const void *key) {
    return *findPointer(t, key) != nullptr;
}

void *getPointer(kivHashTable *t, const void *key) {
    kivHashEntry *e = *findPointer(t, key);
    return e ? e->value : nullptr;
}

int insertPointer(kivHashTable *t, const void *key, void *value) {
    kivHashEntry **link = findPointer(t, key);
    if (*link) return 0;
    addEntry(t, chainOf(t, pointerHash(key)), pointerHash(key), key, value);
    return 1;
}

int removePointer(kivHashTable *t, const void *key, kivHashCallback callback) {
    kivHashEntry **link = findPointer(t, key);
    kivHashEntry *e = *link;
    if (!e) return 0;
    *link = e->next;
    freeEntry(t, e, false, callback);
    --t->count;
    return 1;
}

constexpr kivHashOps kOperations = {
    containsString,  getString,  insertString,  removeString,
    containsPointer, getPointer, insertPointer, removePointer,
};

// Releases every entry in bucket and chain order. Pointer-keyed entries are never key copies:
// insertPtr stores keys unchanged, so only string tables with copyKeys free keys, and a table
// mixing both kinds with copyKeys set is outside the contract.
void releaseAll(kivHashTable *t, kivHashCallback callback) {
    for (uint32_t i = 0; i < t->bucketCount; ++i) {
        kivHashEntry *e = t->buckets[i];
        while (e) {
            kivHashEntry *next = e->next;
            freeEntry(t, e, true, callback);
            e = next;
        }
        t->buckets[i] = nullptr;
    }
}

}  // namespace

uint32_t kivHashString(const char *key) {
    uint32_t h = 0;
    const auto *p = reinterpret_cast<const unsigned char *>(key);
    do {
        h = h * 31u + *p;
    } while (*p++);
    return h;
}

extern "C" {

kivHashTable *kivHashCreate(uint32_t bucketCount, int32_t copyKeys) {
    auto *t = static_cast<kivHashTable *>(kivCalloc(1, sizeof(kivHashTable)));
    t->operations = &kOperations;
    t->keyLength = stringKeyLength;
    t->copyKeys = copyKeys ? 1 : 0;
    t->bucketCount = bucketCount;
    t->buckets = static_cast<kivHashEntry **>(kivCalloc(bucketCount, sizeof(kivHashEntry *)));
    return t;
}

void kivHashClear(kivHashTable *table, kivHashCallback callback) {
    releaseAll(table, callback);
    table->count = 0;
}

void kivHashDestroy(kivHashTable *table, kivHashCallback callback) {
    releaseAll(table, callback);
    kivFree(table->buckets);
    kivFree(table);
}

void kivHashIterBegin(kivHashIter *iter, kivHashTable *table) {
    iter->table = table;
    iter->bucket = 0;
    iter->current = nullptr;
    for (uint32_t i = 0; i < table->bucketCount; ++i) {
        if (table->buckets[i]) {
            iter->bucket = i;
            iter->current = table->buckets[i];
            return;
        }
    }
}

void kivHashIterNext(kivHashIter *iter, const void **key, void **value) {
    kivHashEntry *e = iter->current;
    if (key) *key = e->key;
    if (value) *value = e->value;
    iter->current = e->next;
    if (iter->current) return;
    for (uint32_t i = iter->bucket + 1; i < iter->table->bucketCount; ++i) {
        if (iter->table->buckets[i]) {
            iter->bucket = i;
            iter->current = iter->table->buckets[i];
            return;
        }
    }
}

}  // extern "C"
