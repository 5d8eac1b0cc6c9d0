// SPDX-License-Identifier: Apache-2.0
/*
 * The plug-in of the Python benchmark: Bench::IAdder, and the same two functions exported as
 * plain C functions, which the benchmark calls through ctypes as its baseline.
 */
#include "bench.h"

KIV_PLUGIN_EXPORT int32_t bench_add(int32_t a, int32_t b);
KIV_PLUGIN_EXPORT int32_t bench_sum_point(Bench_Point p);

int32_t bench_add(int32_t a, int32_t b) {
    return (int32_t)((uint32_t)a + (uint32_t)b);
}

int32_t bench_sum_point(Bench_Point p) {
    return (int32_t)((uint32_t)p.x + (uint32_t)p.y);
}

static kivResult add(Bench_IAdder *self, int32_t a, int32_t b, int32_t *result) {
    (void)self;
    *result = bench_add(a, b);
    return KIV_S_OK;
}

static kivResult sumPoint(Bench_IAdder *self, const Bench_Point *p, int32_t *result) {
    (void)self;
    *result = bench_sum_point(*p);
    return KIV_S_OK;
}

/* One static object: the benchmark needs no more, and its count guards nothing. */
static uint32_t addRef(void *self) {
    (void)self;
    return 2;
}

static uint32_t release(void *self) {
    (void)self;
    return 1;
}

static const char *adderInterfaceId(void *self) {
    (void)self;
    return Bench_IAdder_IID;
}

static kivResult adderQueryInterface(void *self, const char *iid, void **out) {
    *out = NULL;
    if (kivCompareIID(iid, KIV_IID_IUNKNOWN) != 0 && kivCompareIID(iid, Bench_IAdder_IID) != 0)
        return KIV_E_NOINTERFACE;
    *out = self;
    return KIV_S_OK;
}

static const Bench_IAdderVtbl adderVtbl = {
    kivComQueryInterface, kivComAddRef, kivComRelease, adderQueryInterface, addRef, release,
    adderInterfaceId,     add,          sumPoint,
};
static Bench_IAdder adder = {&adderVtbl};

static const char *factoryInterfaceId(void *self) {
    (void)self;
    return KIV_IID_IOBJECTFACTORY;
}

static kivResult factoryQueryInterface(void *self, const char *iid, void **out) {
    *out = NULL;
    if (kivCompareIID(iid, KIV_IID_IUNKNOWN) != 0 &&
        kivCompareIID(iid, KIV_IID_IOBJECTFACTORY) != 0)
        return KIV_E_NOINTERFACE;
    *out = self;
    return KIV_S_OK;
}

static kivResult createInstance(IObjectFactory *self, void *outer, const char *iid, void **out) {
    (void)self;
    *out = NULL;
    if (outer) return KIV_E_NO_AGGREGATION;
    return adderQueryInterface(&adder, iid, out);
}

static kivResult lockServer(IObjectFactory *self, int32_t lock) {
    (void)self;
    (void)lock;
    return KIV_S_OK;
}

static const IObjectFactoryVtbl factoryVtbl = {
    kivComQueryInterface, kivComAddRef,   kivComRelease, factoryQueryInterface, addRef, release,
    factoryInterfaceId,   createInstance, lockServer,
};
static IObjectFactory factory = {&factoryVtbl};

KIV_PLUGIN_EXPORT kivResult dsoGetObjectFactory(const char *clsid, const char *iid, void **out);

kivResult dsoGetObjectFactory(const char *clsid, const char *iid, void **out) {
    *out = NULL;
    if (kivCompareCLSID(clsid, Bench_ADDER_CLASS) != 0) return KIV_E_NO_FACTORY;
    return factoryQueryInterface(&factory, iid, out);
}
