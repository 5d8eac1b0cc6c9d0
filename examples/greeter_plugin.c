// SPDX-License-Identifier: Apache-2.0
/*
 * The greeter plug-in in C: one factory object for the process, one greeter object per
 * createInstance, freed at its last release. Its function table is the one that greeter.idl
 * gives (greeter.h is generated). Its texts go through the message catalogue that the library
 * binds for it (text domain "greeter").
 */
#include <libintl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "greeter.h"

/* ---- greeter objects ---- */

typedef struct Greeter {
    const Demo_IGreeterVtbl *vtbl;
    uint32_t references;
    uint32_t greetings;
} Greeter;

static uint32_t greeterAddRef(void *self) {
    return __atomic_add_fetch(&((Greeter *)self)->references, 1, __ATOMIC_SEQ_CST);
}

static uint32_t greeterRelease(void *self) {
    uint32_t count = __atomic_sub_fetch(&((Greeter *)self)->references, 1, __ATOMIC_SEQ_CST);
    if (count == 0) kivFree(self);
    return count;
}

static const char *greeterInterfaceId(void *self) {
    (void)self;
    return Demo_IGreeter_IID;
}

static kivResult greeterQueryInterface(void *self, const char *iid, void **out) {
    if (kivCompareIID(iid, KIV_IID_IUNKNOWN) == 0 || kivCompareIID(iid, Demo_IGreeter_IID) == 0) {
        *out = self;
        greeterAddRef(self);
        return KIV_S_OK;
    }
    *out = NULL;
    return KIV_E_NOINTERFACE;
}

static kivResult greeterGreet(Demo_IGreeter *self, const char *name, char **text) {
    *text = NULL;
    if (!name) return KIV_E_INVALIDARG;
    const char *format = dgettext("greeter", "Hello, %s!");
    int length = snprintf(NULL, 0, format, name);
    if (length < 0) return KIV_E_FAIL;
    *text = kivMalloc((size_t)length + 1);
    snprintf(*text, (size_t)length + 1, format, name);
    __atomic_add_fetch(&((Greeter *)self)->greetings, 1, __ATOMIC_SEQ_CST);
    return KIV_S_OK;
}

static kivResult greeterGetGreetings(Demo_IGreeter *self, uint32_t *value) {
    *value = __atomic_load_n(&((Greeter *)self)->greetings, __ATOMIC_SEQ_CST);
    return KIV_S_OK;
}

static const Demo_IGreeterVtbl greeterVtbl = {
    kivComQueryInterface, kivComAddRef,       kivComRelease, greeterQueryInterface, greeterAddRef,
    greeterRelease,       greeterInterfaceId, greeterGreet,  greeterGetGreetings,
};

/* ---- the factory: a static object whose count guards nothing ---- */

static uint32_t factoryReferences;
static int32_t serverLocks;

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
    if (kivCompareIID(iid, KIV_IID_IUNKNOWN) == 0 ||
        kivCompareIID(iid, KIV_IID_IOBJECTFACTORY) == 0) {
        *out = self;
        factoryAddRef(self);
        return KIV_S_OK;
    }
    *out = NULL;
    return KIV_E_NOINTERFACE;
}

static kivResult factoryCreateInstance(IObjectFactory *self, void *outer, const char *iid,
                                       void **out) {
    (void)self;
    *out = NULL;
    if (outer) return KIV_E_NO_AGGREGATION;
    if (!iid) return KIV_E_INVALIDARG;
    Greeter *greeter = kivCalloc(1, sizeof *greeter);
    greeter->vtbl = &greeterVtbl;
    greeter->references = 1;
    kivResult rc = greeterQueryInterface(greeter, iid, out);
    greeterRelease(greeter); /* the answer holds the only reference, or nothing does */
    return rc;
}

static kivResult factoryLockServer(IObjectFactory *self, int32_t lock) {
    (void)self;
    __atomic_add_fetch(&serverLocks, lock ? 1 : -1, __ATOMIC_SEQ_CST);
    return KIV_S_OK;
}

static const IObjectFactoryVtbl factoryVtbl = {
    kivComQueryInterface,  kivComAddRef,          kivComRelease,
    factoryQueryInterface, factoryAddRef,         factoryRelease,
    factoryInterfaceId,    factoryCreateInstance, factoryLockServer,
};

static IObjectFactory factory = {&factoryVtbl};

KIV_PLUGIN_EXPORT kivResult dsoGetObjectFactory(const char *clsid, const char *iid, void **out);

kivResult dsoGetObjectFactory(const char *clsid, const char *iid, void **out) {
    *out = NULL;
    if (kivCompareCLSID(clsid, Demo_GREETER_CLASS) != 0) return KIV_E_NO_FACTORY;
    return factoryQueryInterface(&factory, iid, out);
}
