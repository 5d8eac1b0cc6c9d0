// SPDX-License-Identifier: Apache-2.0
// The canonical dump of native values and the reference counting of generated objects.
#include "exact_support.h"

#include <inttypes.h>
#include <stdlib.h>

void gen_put(GenBuf *b, const char *text) {
    size_t n = strlen(text);
    if (b->length + n + 1 > b->capacity) {
        b->capacity = (b->length + n + 1) * 2;
        b->text = kivRealloc(b->text, b->capacity);
    }
    memcpy(b->text + b->length, text, n + 1);
    b->length += n;
}

static void putf(GenBuf *b, const char *format, uint64_t value) {
    char buffer[32];
    snprintf(buffer, sizeof buffer, format, value);
    gen_put(b, buffer);
}

void gen_scalar(GenBuf *b, const void *v, int size) {
    uint64_t value = 0;
    memcpy(&value, v, (size_t)size);  // little-endian: the low bytes
    putf(b, "x%" PRIx64, value);
}

void gen_hex128(GenBuf *b, uint64_t hi, uint64_t lo) {
    putf(b, "x%" PRIx64, hi);
    putf(b, ".%" PRIx64, lo);
}

void gen_string(GenBuf *b, const char *s) {
    if (!s) s = "";
    putf(b, "s%" PRIu64 ":", strlen(s));
    for (; *s; ++s) putf(b, "%02" PRIx64, (unsigned char)*s);
}

void gen_wstring(GenBuf *b, const kivWChar *s) {
    uint64_t n = 0;
    while (s && s[n]) ++n;
    putf(b, "w%" PRIu64 ":", n);
    for (uint64_t i = 0; i < n; ++i) putf(b, "%04" PRIx64, s[i]);
}

void gen_ref(GenBuf *b, void *object) {
    if (!object) {
        gen_put(b, "null");
        return;
    }
    gen_put(b, "@");
    gen_put(b, ((IUnknown *)object)->vtbl->interfaceId(object));
}

void gen_count(GenBuf *b, uint32_t n) {
    putf(b, "%" PRIu64 ":", n);
}

void gen_rc(GenBuf *b, kivResult rc) {
    putf(b, "rc=%" PRIx64, rc);
}

kivWChar *gen_wdup(const kivWChar *s) {
    size_t n = 0;
    while (s[n]) ++n;
    kivWChar *copy = kivMalloc((n + 1) * sizeof *copy);
    memcpy(copy, s, (n + 1) * sizeof *copy);
    return copy;
}

void gen_addref(void *object) {
    ((IUnknown *)object)->vtbl->addRef(object);
}
void gen_release(void *object) {
    ((IUnknown *)object)->vtbl->release(object);
}

uint32_t gen_obj_addref(void *self) {
    return __atomic_add_fetch(&((GenObj *)self)->refs, 1, __ATOMIC_SEQ_CST);
}

uint32_t gen_obj_release(void *self) {
    uint32_t left = __atomic_sub_fetch(&((GenObj *)self)->refs, 1, __ATOMIC_SEQ_CST);
    if (left == 0) kivFree(self);
    return left;
}
