// SPDX-License-Identifier: Apache-2.0
/* Preloaded by the out-of-memory test: malloc, calloc and realloc fail, as when memory runs out,
 * for requests above KIVTEST_MALLOC_LIMIT bytes. Everything else goes to the C library. */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *p, size_t size);

static size_t limit(void) {
    /* getenv and strtoull allocate nothing, so they are safe here. */
    const char *text = getenv("KIVTEST_MALLOC_LIMIT");
    return text ? (size_t)strtoull(text, NULL, 10) : SIZE_MAX;
}

#define SHIM __attribute__((visibility("default")))

static void *refuse(void) {
    errno = ENOMEM;
    return NULL;
}

SHIM void *malloc(size_t size) {
    return size > limit() ? refuse() : __libc_malloc(size);
}

SHIM void *calloc(size_t count, size_t size) {
    return size && count > limit() / size ? refuse() : __libc_calloc(count, size);
}

SHIM void *realloc(void *p, size_t size) {
    return size > limit() ? refuse() : __libc_realloc(p, size);
}
