// SPDX-License-Identifier: Apache-2.0
/*
 * kiv runtime: result codes, initialisation, allocation, strings, error reporting.
 * Compiles as C11 and as C++.
 */
#ifndef KIV_BASE_H
#define KIV_BASE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(KIV_BUILDING)
#define KIV_API __declspec(dllexport)
#else
#define KIV_API __declspec(dllimport)
#endif
#define KIV_NORETURN __declspec(noreturn)
#else
#define KIV_API __attribute__((visibility("default")))
#define KIV_NORETURN __attribute__((noreturn))
#endif

/* Exported functions never throw; C++ callers see them as noexcept. */
#ifdef __cplusplus
#define KIV_NOEXCEPT noexcept
#else
#define KIV_NOEXCEPT
#endif

#ifdef __cplusplus
#define KIV_BEGIN_DECLS extern "C" {
#define KIV_END_DECLS }
#else
#define KIV_BEGIN_DECLS
#define KIV_END_DECLS
#endif

/* The version of these headers and of the library built with them. CMake reads the project
 * version from these lines. */
#define KIV_VERSION_MAJOR 1
#define KIV_VERSION_MINOR 0
#define KIV_VERSION_PATCH 0
#define KIV_VERSION_STRING "1.0.0"

KIV_BEGIN_DECLS

/* A result code: 0 is success, bit 31 set is failure, bits 16..28 name the facility. */
typedef uint32_t kivResult;

#define KIV_SUCCEEDED(code) (((code)&UINT32_C(0x80000000)) == 0)
#define KIV_FAILED(code) (((code)&UINT32_C(0x80000000)) != 0)

/* The library's own codes (facility 0x1624). KIV_ERROR_MAP is the one list of the failure
 * codes with their names and the texts kivStrError gives (NULL: no text of its own, shown as
 * "error 0x9624xxxx"); X(NAME, CODE, TEXT) is applied to each in code order. The KIV_E_*
 * macros below repeat the values for use in C and in #if, and the library checks at build time
 * that they agree with this list. */
#define KIV_ERROR_MAP(X)                                                                      \
    X(KIV_E_BAD_REPOID, 0x96240001, "Bad repository id format")                               \
    X(KIV_E_INVALID_ARG, 0x96240002, "Invalid argument")                                      \
    X(KIV_E_BUFFER_TOO_SMALL, 0x96240003, "Not enough space in output buffer")                \
    X(KIV_E_REPOID_EXISTS, 0x96240004, "Repository id already exists")                        \
    X(KIV_E_READ_ONLY, 0x96240005, "Read only error")                                         \
    X(KIV_E_UNKNOWN_SCOPE, 0x96240006, "Repository id of containing scope is unknown")        \
    X(KIV_E_BAD_SCOPE_KIND, 0x96240007, NULL)                                                 \
    X(KIV_E_UNKNOWN_BASE, 0x96240008, "Repository id of base interface is unknown")           \
    X(KIV_E_BAD_BASE, 0x96240009, "Invalid base interface repository id")                     \
    X(KIV_E_UNKNOWN_REPOID, 0x9624000A, "Unknown repository id")                              \
    X(KIV_E_BAD_KIND, 0x9624000B, "Invalid kind of definition")                               \
    X(KIV_E_FORMAT, 0x9624000C, "Type library format error")                                  \
    X(KIV_E_INVALID_STATE, 0x9624000D, "An operation has been attempted in an invalid state") \
    X(KIV_E_BAD_STATE, 0x9624000E, "A bad/inconsistent state has been detected")              \
    X(KIV_E_INCOMPATIBLE, 0x9624000F, "Incompatible redefinition")                            \
    X(KIV_E_NO_AGGREGATION, 0x96240010, "Aggregation not supported")                          \
    X(KIV_E_UUID_NO_ADDRESS, 0x96240011, NULL)                                                \
    X(KIV_E_NO_FACTORY, 0x96240012, "No object factory found")

#define KIV_S_OK UINT32_C(0)
#define KIV_S_UUID_LOCAL_ONLY UINT32_C(0x16240001) /* UUID unique on this computer only */
#define KIV_E_BAD_REPOID UINT32_C(0x96240001)
#define KIV_E_INVALID_ARG UINT32_C(0x96240002)
#define KIV_E_BUFFER_TOO_SMALL UINT32_C(0x96240003)
#define KIV_E_REPOID_EXISTS UINT32_C(0x96240004)
#define KIV_E_READ_ONLY UINT32_C(0x96240005)
#define KIV_E_UNKNOWN_SCOPE UINT32_C(0x96240006)
#define KIV_E_BAD_SCOPE_KIND UINT32_C(0x96240007)
#define KIV_E_UNKNOWN_BASE UINT32_C(0x96240008)
#define KIV_E_BAD_BASE UINT32_C(0x96240009)
#define KIV_E_UNKNOWN_REPOID UINT32_C(0x9624000A)
#define KIV_E_BAD_KIND UINT32_C(0x9624000B)
#define KIV_E_FORMAT UINT32_C(0x9624000C)
#define KIV_E_INVALID_STATE UINT32_C(0x9624000D)
#define KIV_E_BAD_STATE UINT32_C(0x9624000E)
#define KIV_E_INCOMPATIBLE UINT32_C(0x9624000F)
#define KIV_E_NO_AGGREGATION UINT32_C(0x96240010)
#define KIV_E_UUID_NO_ADDRESS UINT32_C(0x96240011)
#define KIV_E_NO_FACTORY UINT32_C(0x96240012)

/* System errors (facility 0x1622): 0x96220000 OR errno. */
#define KIV_E_SYSTEM(err) (UINT32_C(0x96220000) | (uint32_t)(err))
#define KIV_E_OUT_OF_MEMORY UINT32_C(0x9622000C)

/* Codes of the portable runtime (facility 0x1623) that callers test for; they are the runtime's
 * own values, passed on unchanged. A missing file is KIV_E_RT_NO_FILE wherever the runtime
 * reports it (removing a file, loading a plug-in, file information); opening a type library
 * file reports the storage layer's errno instead, KIV_E_SYSTEM(ENOENT). */
#define KIV_E_RT_NO_FILE UINT32_C(0x96230003)     /* no such file */
#define KIV_E_RT_EXISTS UINT32_C(0x9623000C)      /* already exists */
#define KIV_E_RT_NOT_FOUND UINT32_C(0x9623000D)   /* not found */
#define KIV_E_RT_KEY_DELETED UINT32_C(0x96230010) /* registry key was deleted */

/* Standard HRESULT failures returned by the component model. */
#define KIV_E_NOTIMPL UINT32_C(0x80004001)
#define KIV_E_NOINTERFACE UINT32_C(0x80004002)
#define KIV_E_FAIL UINT32_C(0x80004005)
#define KIV_E_UNEXPECTED UINT32_C(0x8000FFFF)
#define KIV_E_ACCESSDENIED UINT32_C(0x80070005)
#define KIV_E_INVALIDARG UINT32_C(0x80070057)
#define KIV_E_POINTER UINT32_C(0x80004003)

/* Out of memory. No allocation failure inside the library returns or throws to the caller: the
 * allocation functions below, and every allocation the library makes for its own use, end the
 * process through kivFatal(KIV_E_OUT_OF_MEMORY, ...), and that path allocates nothing. */

/* Initialises the runtime, finds the installation root directory (KIV_ROOT_DIR, else the
 * directory of the library's own file, one level up when that directory is lib or bin) and
 * sets up the component model. Call once, before other threads use the library. */
KIV_API kivResult kivInitialize(void) KIV_NOEXCEPT;

/* Allocation. A failed allocation never returns: it ends the process through kivFatal with
 * KIV_E_OUT_OF_MEMORY. Every block is released with kivFree. */
KIV_API void *kivMalloc(size_t size) KIV_NOEXCEPT;
KIV_API void *kivCalloc(size_t count, size_t size) KIV_NOEXCEPT;
/* NULL only when p was not NULL and size is 0 (the block is freed). */
KIV_API void *kivRealloc(void *p, size_t size) KIV_NOEXCEPT;
KIV_API void kivFree(void *p) KIV_NOEXCEPT;

/* String duplication. kivStrDup: NULL for NULL. kivStrDup0: NULL for NULL and for "".
 * kivStrNDup: exactly n bytes (NULs included) plus a terminating NUL; with n 0 the source is
 * not read, and a NULL source with n above 0 gives NULL (nothing can be copied from it).
 * kivStrNDup0: NULL when s is NULL or n is 0. */
KIV_API char *kivStrDup(const char *s) KIV_NOEXCEPT;
KIV_API char *kivStrDup0(const char *s) KIV_NOEXCEPT;
KIV_API char *kivStrNDup(const char *s, size_t n) KIV_NOEXCEPT;
KIV_API char *kivStrNDup0(const char *s, size_t n) KIV_NOEXCEPT;

/* Byte-wise comparison of interface or class ids: -1, 0 or +1. One function, two names.
 * NULL orders before every id and equals only NULL. */
KIV_API int32_t kivCompareIID(const char *a, const char *b) KIV_NOEXCEPT;
KIV_API int32_t kivCompareCLSID(const char *a, const char *b) KIV_NOEXCEPT;

/* Error reporting. Without a handler, kivError writes the message, then ": " and the code's
 * text (or just a newline for code 0) to stderr; kivFatal writes the same after "Fatal: " and
 * exits with status 1. With a handler installed the handler receives them instead, and
 * kivFatal aborts if the fatal handler returns. */
typedef void (*kivErrorHandler)(kivResult code, const char *message);
KIV_API void kivError(kivResult code, const char *message) KIV_NOEXCEPT;
KIV_API KIV_NORETURN void kivFatal(kivResult code, const char *message) KIV_NOEXCEPT;
/* Replaces both handlers; NULL restores the default output for that kind. */
KIV_API void kivSetErrorHandler(kivErrorHandler onError, kivErrorHandler onFatal) KIV_NOEXCEPT;

/* Text of any result code; never NULL. Texts of the library's own codes belong to the calling
 * thread until its next kivStrError call for such a code, or its end; never free them. Safe to
 * call from thread-exit destructors. */
KIV_API const char *kivStrError(kivResult code) KIV_NOEXCEPT;

/* Basic types of the IDL language mapping (docs/mapping.md) that C has no fixed form of;
 * generated headers and kiv.hpp use them. Decimals travel as their IEEE 754 bit patterns. */
typedef uint8_t kivBoolean;
typedef uint16_t kivWChar;
typedef struct kivDecimal32 {
    uint32_t bits;
} kivDecimal32;
typedef struct kivDecimal64 {
    uint64_t bits;
} kivDecimal64;
typedef struct kivDecimal128 {
    uint64_t words[2];
} kivDecimal128;

KIV_END_DECLS

#endif /* KIV_BASE_H */
