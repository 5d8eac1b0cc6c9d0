/*
 * A plug-in for the component model's tests. One source, several builds:
 *   PLUGIN_NAME      the text its objects' name() returns, telling which build served a class
 *   PLUGIN_NO_ENTRY  leave out the entry point
 * Its factory answers KIV_E_NO_AGGREGATION to an outer object and a success code other than 0
 * (1) to every successful createInstance. When KIVTEST_LOAD_LOG names a file, each load of the
 * plug-in appends a line to it.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kiv_com.h"
#include "test_plugin.h"

static void logLoad(void) __attribute__((constructor));
static void logLoad(void) {
    const char *log = getenv("KIVTEST_LOAD_LOG");
    if (!log || !*log) return;
    FILE *f = fopen(log, "a");
    if (!f) return;
    fprintf(f, "%s\n", PLUGIN_NAME);
    fclose(f);
}

#ifndef PLUGIN_NO_ENTRY

/* Stand-ins for the library's COM front: this plug-in does not link the library. */
static kivResult frontQueryInterface(void *self, const void *comIid, void **out) {
    (void)self;
    (void)comIid;
    *out = NULL;
    return KIV_E_NOINTERFACE;
}
static uint32_t frontAddRef(void *self) {
    return ((IUnknown *)self)->vtbl->addRef(self);
}
static uint32_t frontRelease(void *self) {
    return ((IUnknown *)self)->vtbl->release(self);
}

/* ---- the named object: heap-allocated, freed at its last release ---- */

typedef struct Named {
    const INamedVtbl *vtbl;
    uint32_t references;
} Named;

static uint32_t namedAddRef(void *self) {
    return __atomic_add_fetch(&((Named *)self)->references, 1, __ATOMIC_SEQ_CST);
}
static uint32_t namedRelease(void *self) {
    uint32_t count = __atomic_sub_fetch(&((Named *)self)->references, 1, __ATOMIC_SEQ_CST);
    if (count == 0) free(self);
    return count;
}
static const char *namedInterfaceId(void *self) {
    (void)self;
    return KIVTEST_IID_INAMED;
}
static kivResult namedQueryInterface(void *self, const char *iid, void **out) {
    if (strcmp(iid, KIVTEST_IID_INAMED) == 0 || strcmp(iid, KIV_IID_IUNKNOWN) == 0) {
        namedAddRef(self);
        *out = self;
        return 0;
    }
    *out = NULL;
    return KIV_E_NOINTERFACE;
}
static const char *namedName(INamed *self) {
    (void)self;
    return PLUGIN_NAME;
}

static const INamedVtbl namedVtbl = {
    frontQueryInterface, frontAddRef,  frontRelease,     namedQueryInterface,
    namedAddRef,         namedRelease, namedInterfaceId, namedName,
};

/* ---- the factory: one static object ---- */

static uint32_t factoryReferences;

static uint32_t factoryAddRef(void *self) {
    (void)self;
    return __atomic_add_fetch(&factoryReferences, 1, __ATOMIC_SEQ_CST);
}
static uint32_t factoryRelease(void *self) {
    (void)self;
    return __atomic_sub_fetch(&factoryReferences, 1, __ATOMIC_SEQ_CST);
}
static const char *factoryInterfaceId(void *self) {
    (void)self;
    return KIV_IID_IOBJECTFACTORY;
}
static kivResult factoryQueryInterface(void *self, const char *iid, void **out) {
    if (strcmp(iid, KIV_IID_IOBJECTFACTORY) == 0 || strcmp(iid, KIV_IID_IUNKNOWN) == 0) {
        factoryAddRef(self);
        *out = self;
        return 0;
    }
    *out = NULL;
    return KIV_E_NOINTERFACE;
}
static kivResult factoryCreateInstance(IObjectFactory *self, void *outer, const char *iid,
                                       void **out) {
    (void)self;
    *out = NULL;
    if (outer) return KIV_E_NO_AGGREGATION;
    Named *named = calloc(1, sizeof *named);
    if (!named) return KIV_E_OUT_OF_MEMORY;
    named->vtbl = &namedVtbl;
    named->references = 1;
    kivResult rc = namedQueryInterface(named, iid, out);
    namedRelease(named);
    return KIV_FAILED(rc) ? rc : 1;
}
static kivResult factoryLockServer(IObjectFactory *self, int32_t lock) {
    (void)self;
    (void)lock;
    return 0;
}

static const IObjectFactoryVtbl factoryVtbl = {
    frontQueryInterface,   frontAddRef,           frontRelease,
    factoryQueryInterface, factoryAddRef,         factoryRelease,
    factoryInterfaceId,    factoryCreateInstance, factoryLockServer,
};
static IObjectFactory factory = {&factoryVtbl};

KIV_PLUGIN_EXPORT kivResult dsoGetObjectFactory(const char *clsid, const char *iid, void **out);
KIV_PLUGIN_EXPORT kivResult dsoGetObjectFactory(const char *clsid, const char *iid, void **out) {
    (void)clsid;
    return factoryQueryInterface(&factory, iid, out);
}

KIV_PLUGIN_EXPORT uint32_t kivtestFactoryReferences(void);
KIV_PLUGIN_EXPORT uint32_t kivtestFactoryReferences(void) {
    return __atomic_load_n(&factoryReferences, __ATOMIC_SEQ_CST);
}

#endif
