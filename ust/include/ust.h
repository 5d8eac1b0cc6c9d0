// SPDX-License-Identifier: Apache-2.0
/*
 * ust: the portable runtime layer under libkiv.
 *
 * A thin C interface over the host system (POSIX here): initialisation, threads and
 * atomics, shared libraries, paths and files, message catalogues, IEEE 754 decimal
 * comparisons and result-code texts. Every operation that can fail returns a
 * ustResult: 0 on success, a failure code with bit 31 set otherwise.
 */
#ifndef UST_H
#define UST_H

#include <stddef.h>
#include <stdint.h>

#if defined(UST_BUILDING)
#define UST_API __attribute__((visibility("default")))
#else
#define UST_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t ustResult;

/* Result codes. Facility 0x1622 carries a system errno in the low 16 bits; facility 0x1623
 * is the runtime's own. */
#define UST_SYSTEM_ERROR(err) (UINT32_C(0x96220000) | ((uint32_t)(err)&0xFFFFu))

#define UST_E_FAILED UINT32_C(0x96230001)      /* operation failed */
#define UST_E_INVALID_ARG UINT32_C(0x96230002) /* invalid argument */
#define UST_E_NO_FILE UINT32_C(0x96230003)     /* no such file or directory */
#define UST_E_BUFFER_TOO_SMALL UINT32_C(0x96230004)
#define UST_E_NO_MEMORY UINT32_C(0x96230005)
#define UST_E_ACCESS UINT32_C(0x96230006) /* permission denied */
#define UST_E_NOT_DIRECTORY UINT32_C(0x96230007)
#define UST_E_IS_DIRECTORY UINT32_C(0x96230008)
#define UST_E_BUSY UINT32_C(0x96230009)
#define UST_E_IO UINT32_C(0x9623000A) /* input/output error */
#define UST_E_NOT_SUPPORTED UINT32_C(0x9623000B)
#define UST_E_EXISTS UINT32_C(0x9623000C)    /* already exists */
#define UST_E_NOT_FOUND UINT32_C(0x9623000D) /* not found */
#define UST_E_NOT_EMPTY UINT32_C(0x9623000E)
#define UST_E_CORRUPT UINT32_C(0x9623000F)     /* stored data is damaged */
#define UST_E_KEY_DELETED UINT32_C(0x96230010) /* key was deleted */
#define UST_E_NO_SYMBOL UINT32_C(0x96230011)   /* symbol not found in shared library */
#define UST_E_DSO_LOAD UINT32_C(0x96230012)    /* shared library cannot be loaded */
#define UST_E_NO_MORE_ITEMS UINT32_C(0x96230013)
#define UST_E_READ_ONLY UINT32_C(0x96230014) /* store is read-only */

/* Standard HRESULT failures used by the component model. */
#define UST_E_NOTIMPL UINT32_C(0x80004001)
#define UST_E_NOINTERFACE UINT32_C(0x80004002)
#define UST_E_FAIL UINT32_C(0x80004005)
#define UST_E_UNEXPECTED UINT32_C(0x8000FFFF)
#define UST_E_ACCESSDENIED UINT32_C(0x80070005)
#define UST_E_INVALIDARG UINT32_C(0x80070057)
#define UST_E_POINTER UINT32_C(0x80004003)

/* Initialisation. Idempotent; everything else works without it but hosts call it first. */
UST_API ustResult ustInitialize(void);

/* Text of any result code. The pointer stays valid at least until the calling thread's next
 * ustStrError call; callers never free it. Formatted texts live in per-thread storage that is
 * never released, so the call is safe from thread-exit destructors, and it never allocates. */
UST_API const char *ustStrError(ustResult code);

/* A Windows error number as a result code: 5 gives E_ACCESSDENIED, 2 and 3 the not-found
 * code, 1018 the key-deleted code; numbers without a closer meaning give
 * HRESULT_FROM_WIN32 (0x80070000 | number). */
UST_API ustResult _ust_map_win32_error(uint32_t win32Error);

/* Mutexes: non-recursive. The storage is opaque and large enough for the host system's mutex;
 * an all-zero ustMutex (UST_MUTEX_INITIALIZER, or static storage) is a valid unlocked mutex
 * before ustMutexInit has run. */
#define UST_MUTEX_SIZE 64
typedef struct ustMutex {
    union {
        unsigned char bytes[UST_MUTEX_SIZE];
        uint64_t align;
        void *alignPointer;
    } storage;
} ustMutex;
/* clang-format off */
#define UST_MUTEX_INITIALIZER {{{0}}}
/* clang-format on */
UST_API ustResult ustMutexInit(ustMutex *mutex);
UST_API ustResult ustMutexLock(ustMutex *mutex);
UST_API ustResult ustMutexUnlock(ustMutex *mutex);
UST_API ustResult ustMutexDestroy(ustMutex *mutex);

/* One-time initialisation on a zero-initialised control word. Concurrent callers wait until
 * the function has run. */
typedef volatile int32_t ustOnce;
UST_API ustResult ustInitOnce(ustOnce *once, void (*function)(void));

/* Thread-local slots, null until set; the destructor receives a thread's non-null value when
 * that thread ends. */
typedef uint32_t ustTlsKey;
UST_API ustResult ustTlsKeyCreate(ustTlsKey *key, void (*destructor)(void *));
UST_API void *ustTlsGet(ustTlsKey key);
UST_API ustResult ustTlsSet(ustTlsKey key, void *value);

/* Atomic counters (sequentially consistent); both return the new count. */
UST_API uint32_t ustAtomicIncrement(volatile uint32_t *count);
UST_API uint32_t ustAtomicDecrement(volatile uint32_t *count);

/* Shared libraries. */
typedef struct ustDSO ustDSO;
UST_API const char *ustGetDSOPrefix(void); /* "lib" */
UST_API const char *ustGetDSOSuffix(void); /* ".so" */
/* Loads a library by path, or by file name. A bare file name first matches a library already
 * loaded into the process under that name or a versioned form of it (libx.so matches
 * libx.so.1), then the loader's search path. flags is reserved (0). */
UST_API ustResult ustOpenDSO(const char *name, uint32_t flags, ustDSO **out);
/* The absolute path of the loaded file, as the system mapped it: independent of the current
 * folder and of how the library was named when it was loaded. */
UST_API ustResult ustGetDSOPath(ustDSO *dso, char *buffer, size_t size);
UST_API ustResult ustGetSymbolAddress(ustDSO *dso, const char *symbol, void **address);
UST_API ustResult ustCloseDSO(ustDSO *dso);

/* Paths, written into caller buffers of `size` bytes including the NUL; a buffer too small
 * gives UST_E_BUFFER_TOO_SMALL and an empty string. */
UST_API ustResult ustGetDirname(const char *path, char *buffer, size_t size);
UST_API ustResult ustGetBasename(const char *path, char *buffer, size_t size);
UST_API ustResult ustAppendToPath(const char *directory, const char *component, char *buffer,
                                  size_t size);
/* `path` made absolute against the current folder (leading "./" dropped); an absolute path is
 * copied unchanged. Nothing is resolved on disk. */
UST_API ustResult ustGetAbsolutePath(const char *path, char *buffer, size_t size);

#define UST_FILE_INFO_VERSION 1
#define UST_FILE_REGULAR 0
#define UST_FILE_DIRECTORY 1
#define UST_FILE_OTHER 2
typedef struct ustFileInfo {
    uint32_t version; /* set to UST_FILE_INFO_VERSION by the caller */
    uint32_t kind;    /* UST_FILE_* */
    uint64_t size;
    int64_t modifiedSeconds;
} ustFileInfo;
UST_API ustResult ustGetFileInfo(const char *path, ustFileInfo *info);
/* 0 when removed, UST_E_NO_FILE when there was nothing to remove. */
UST_API ustResult ustRemoveFile(const char *path);

/* Whether the effective user may access `path` with every right in `mode` (UST_ACCESS_*):
 * 0 when it may, UST_E_ACCESS when a right is missing, UST_E_NO_FILE when nothing is there. */
#define UST_ACCESS_EXISTS 0u
#define UST_ACCESS_READ 4u
#define UST_ACCESS_WRITE 2u
#define UST_ACCESS_EXECUTE 1u
UST_API ustResult ustCheckAccess(const char *path, uint32_t mode);
/* The effective user's home folder from the system's user database (not from $HOME);
 * UST_E_NOT_FOUND when the user has none. */
UST_API ustResult ustGetUserHome(char *buffer, size_t size);

/* Binds a gettext text domain to a directory of message catalogues. */
UST_API ustResult ustBindTextDomain(const char *domain, const char *directory);

/* IEEE 754-2008 decimal floating point in the binary integer decimal (BID) encoding. */
UST_API uint64_t ustDec32ToDec64(uint32_t value);
/* Quiet comparisons: non-zero when the values are not equal (a NaN equals nothing). */
UST_API int ustDec64QuietNotEqual(uint64_t a, uint64_t b);
UST_API int ustDec128QuietNotEqual(const void *a, const void *b);

#ifdef __cplusplus
}
#endif

#endif /* UST_H */
