// SPDX-License-Identifier: Apache-2.0
// A compiled Bench::IMath object: the baseline of the dynamic call benchmarks.
#include <string.h>

#include "bench.h"

static uint32_t addRef(void *self) {
    (void)self;
    return 2;
}
static uint32_t release(void *self) {
    (void)self;
    return 1;
}
static const char *interfaceId(void *self) {
    (void)self;
    return Bench_IMath_IID;
}
static kivResult queryInterface(void *self, const char *iid, void **out) {
    *out = (!strcmp(iid, Bench_IMath_IID) || !strcmp(iid, KIV_IID_IUNKNOWN)) ? self : NULL;
    return *out ? 0 : KIV_E_NOINTERFACE;
}
static kivResult add(Bench_IMath *self, int32_t a, int32_t b, int32_t *result) {
    (void)self;
    *result = a + b;
    return 0;
}
static kivResult take(Bench_IMath *self, const Bench_Item *item, const char *note,
                      int32_t *result) {
    (void)self;
    *result = item->id + (int32_t)strlen(item->name) + (int32_t)strlen(note);
    return 0;
}

static const Bench_IMathVtbl table = {kivComQueryInterface, kivComAddRef, kivComRelease,
                                      queryInterface,       addRef,       release,
                                      interfaceId,          add,          take};
static Bench_IMath object = {&table};

Bench_IMath *benchObject(void) {
    return &object;
}
