// SPDX-License-Identifier: Apache-2.0
// Support of the generated exactness test code: a text buffer with the canonical dump of native
// values, reference counting of the generated objects, and the table of generated calls.
#ifndef KIV_EXACT_SUPPORT_H
#define KIV_EXACT_SUPPORT_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <kiv.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct GenBuf {
    char *text;
    size_t length, capacity;
} GenBuf;

typedef struct GenOp {
    const char *iid;      /* the interface called through */
    const char *ownerIid; /* the interface that declares the member */
    const char *name;     /* slot name: operation, get_x or set_x */
    int argc;
    const char *const *inputs;  /* IDL literal of each in and inout argument, NULL for out */
    const char *const *sources; /* per argument and then the result: "@argN", a literal, NULL */
    kivResult (*call)(void *object, GenBuf *b);
} GenOp;

extern const GenOp gen_ops[];
extern const int gen_op_count;
extern int gen_interface_count;
extern const char *const gen_interface_ids[];
void *gen_create(int index);

void gen_put(GenBuf *b, const char *text);
void gen_scalar(GenBuf *b, const void *v, int size);
void gen_hex128(GenBuf *b, uint64_t hi, uint64_t lo);
void gen_string(GenBuf *b, const char *s);
void gen_wstring(GenBuf *b, const kivWChar *s);
void gen_ref(GenBuf *b, void *object);
void gen_count(GenBuf *b, uint32_t n);
void gen_rc(GenBuf *b, kivResult rc);
kivWChar *gen_wdup(const kivWChar *s);
void gen_addref(void *object);
void gen_release(void *object);

typedef struct GenObj {
    const void *vtbl;
    uint32_t refs;
} GenObj;
uint32_t gen_obj_addref(void *self);
uint32_t gen_obj_release(void *self);

#ifdef __cplusplus
}
#endif

#endif
