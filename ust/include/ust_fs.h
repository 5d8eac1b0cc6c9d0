// SPDX-License-Identifier: Apache-2.0
/*
 * ust_fs: the file-system calls of the stores, through one replaceable table (POSIX hosts).
 *
 * Code that writes files whose loss matters (type libraries) makes every open, read, write,
 * sync, truncation, mode change, stat, rename, unlink and lock through the ustFs* functions
 * below instead of calling the system. Each function forwards to the current table, which is
 * the system's unless a test installed its own; tests can also make the Nth call from now fail
 * with an errno of their choice, as a full disk or a failing device would. Results follow the
 * system calls: -1 (or a negative count) with errno set on failure.
 */
#ifndef UST_FS_H
#define UST_FS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "ust.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What a call does, for counting and for aiming a fault. */
typedef enum ustFsCall {
    UST_FS_OPEN,
    UST_FS_CLOSE,
    UST_FS_READ,
    UST_FS_WRITE,
    UST_FS_SYNC,
    UST_FS_TRUNCATE,
    UST_FS_CHMOD,
    UST_FS_STAT, /* stat and fstat */
    UST_FS_RENAME,
    UST_FS_UNLINK,
    UST_FS_LOCK,
    UST_FS_CALL_KINDS /* the number of kinds; as a count query: every kind */
} ustFsCall;

typedef struct ustFsTable {
    int (*open)(const char *path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*pread)(int fd, void *buffer, size_t size, off_t offset);
    ssize_t (*pwrite)(int fd, const void *buffer, size_t size, off_t offset);
    int (*fsync)(int fd);
    int (*ftruncate)(int fd, off_t size);
    int (*fchmod)(int fd, mode_t mode);
    int (*fstat)(int fd, struct stat *info);
    int (*stat)(const char *path, struct stat *info);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
    /* Waits for an exclusive lock of the whole file that belongs to the open file description
     * (not to the process), so it needs a descriptor open for writing and is released when the
     * last descriptor of that description is closed. */
    int (*lockWrite)(int fd);
} ustFsTable;

UST_API int ustFsOpen(const char *path, int flags, mode_t mode);
/* The descriptor is closed even when the call reports a failure. */
UST_API int ustFsClose(int fd);
UST_API ssize_t ustFsRead(int fd, void *buffer, size_t size, off_t offset);
UST_API ssize_t ustFsWrite(int fd, const void *buffer, size_t size, off_t offset);
UST_API int ustFsSync(int fd);
UST_API int ustFsTruncate(int fd, off_t size);
UST_API int ustFsChmod(int fd, mode_t mode);
UST_API int ustFsFstat(int fd, struct stat *info);
UST_API int ustFsStat(const char *path, struct stat *info);
UST_API int ustFsRename(const char *from, const char *to);
UST_API int ustFsUnlink(const char *path);
UST_API int ustFsLockWrite(int fd);

/* The table in use, and replacing it (null restores the system's). The table must stay valid
 * while it is installed. Not synchronised with calls in flight: tests install tables while no
 * other thread uses files. */
UST_API const ustFsTable *ustFsGetTable(void);
UST_API void ustFsSetTable(const ustFsTable *table);

/* Makes the `nth` call from now (1 for the next one) whose kind is in `kinds` (a mask of
 * 1u << ustFsCall; 0 for every kind) fail with `err` without reaching the table. One fault is
 * armed at a time; nth 0 disarms it. */
UST_API void ustFsInjectFault(uint64_t nth, int err, uint32_t kinds);
/* Calls made so far of one kind, or of every kind for UST_FS_CALL_KINDS (failed and injected
 * ones included). */
UST_API uint64_t ustFsCallCount(ustFsCall kind);

#ifdef __cplusplus
}
#endif

#endif
