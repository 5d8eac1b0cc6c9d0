// SPDX-License-Identifier: Apache-2.0
// The Berkeley DB 1.85 interface, as libdb1.so.2 implements it (Debian's libdb1-compat ships
// the library without a header). Only what type library files use is declared: the B-tree
// access method, dbopen and the handle's function table. The layouts are the library's ABI
// on LP64 Linux; this is the only place that declares them.
#pragma once

#include <sys/types.h>

#include <cstddef>

extern "C" {

// A key or a value: bytes owned by the caller (put) or by the database until its next call
// (get, seq).
struct DBT {
    void *data;
    size_t size;
};

enum DBTYPE { DB_BTREE, DB_HASH, DB_RECNO };

// Results of get, put, seq: 0 success, 1 key absent (get) or end reached (seq), -1 failure
// with errno set.
constexpr int kDbSuccess = 0;
constexpr int kDbNotFound = 1;

// seq flags.
constexpr unsigned kDbFirst = 3;  // R_FIRST
constexpr unsigned kDbNext = 7;   // R_NEXT

struct DB {
    DBTYPE type;
    int (*close)(DB *db);
    int (*del)(const DB *db, const DBT *key, unsigned flags);
    int (*get)(const DB *db, const DBT *key, DBT *data, unsigned flags);
    int (*put)(const DB *db, DBT *key, const DBT *data, unsigned flags);
    int (*seq)(const DB *db, DBT *key, DBT *data, unsigned flags);
    int (*sync)(const DB *db, unsigned flags);
    void *internal;
    int (*fd)(const DB *db);
};

struct BTREEINFO {
    unsigned long flags;  // R_DUP (0x01) allows duplicate keys; 0 keeps them unique
    unsigned cachesize;   // bytes of page cache; 0 for the library's default
    int maxkeypage;
    int minkeypage;
    unsigned psize;  // page size
    int (*compare)(const DBT *a, const DBT *b);
    size_t (*prefix)(const DBT *a, const DBT *b);
    int lorder;  // byte order of the pages: 4321 big-endian, 1234 little-endian
};

// Opens `file`; openinfo points at a BTREEINFO for DB_BTREE. Open flags are passed to open(2)
// except that the library refuses O_CLOEXEC (it sets close-on-exec itself).
DB *dbopen(const char *file, int flags, int mode, DBTYPE type, const void *openinfo);

}  // extern "C"
