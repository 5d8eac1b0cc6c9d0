// SPDX-License-Identifier: Apache-2.0
// Checked allocation, string duplication and id comparison.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kiv_base.h"

namespace {

// Never returns. The size is reported as its low 32 bits, as in every message of the library.
[[noreturn]] void allocationFailed(const char *allocator, size_t size) {
    char message[128];
    std::snprintf(message, sizeof message, "%s: can't allocate %lu bytes of memory", allocator,
                  static_cast<unsigned long>(static_cast<uint32_t>(size)));
    kivFatal(KIV_E_OUT_OF_MEMORY, message);
}

char *duplicate(const char *s, size_t n) {
    auto *copy = static_cast<char *>(std::malloc(n + 1));
    if (!copy) allocationFailed("malloc", n + 1);
    std::memcpy(copy, s, n);
    copy[n] = '\0';
    return copy;
}

}  // namespace

extern "C" {

KIV_API void *kivMalloc(size_t size) noexcept {
    void *p = std::malloc(size);
    if (!p) allocationFailed("malloc", size);
    return p;
}

KIV_API void *kivCalloc(size_t count, size_t size) noexcept {
    void *p = std::calloc(count, size);
    if (!p) allocationFailed("calloc", count * size);
    return p;
}

KIV_API void *kivRealloc(void *p, size_t size) noexcept {
    void *q = std::realloc(p, size);
    if (!q && !(p && size == 0)) allocationFailed("realloc", size);
    return q;
}

KIV_API void kivFree(void *p) noexcept {
    std::free(p);
}

KIV_API char *kivStrDup(const char *s) noexcept {
    return s ? duplicate(s, std::strlen(s)) : nullptr;
}

KIV_API char *kivStrDup0(const char *s) noexcept {
    return s && *s ? duplicate(s, std::strlen(s)) : nullptr;
}

KIV_API char *kivStrNDup(const char *s, size_t n) noexcept {
    // With n 0 the source is never read; a null source with bytes to copy has none to give.
    if (!n) return duplicate("", 0);
    return s ? duplicate(s, n) : nullptr;
}

KIV_API char *kivStrNDup0(const char *s, size_t n) noexcept {
    return s && n ? duplicate(s, n) : nullptr;
}

KIV_API int32_t kivCompareIID(const char *a, const char *b) noexcept {
    if (!a || !b) return a == b ? 0 : (a ? 1 : -1);  // null orders first
    auto *x = reinterpret_cast<const unsigned char *>(a);
    auto *y = reinterpret_cast<const unsigned char *>(b);
    while (*x == *y) {
        if (*x == 0) return 0;
        ++x;
        ++y;
    }
    return *x < *y ? -1 : 1;
}

// The same function under the name class-id callers use.
KIV_API int32_t kivCompareCLSID(const char *a, const char *b) noexcept
    __attribute__((alias("kivCompareIID")));

}  // extern "C"
