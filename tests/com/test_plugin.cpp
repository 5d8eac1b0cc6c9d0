// SPDX-License-Identifier: Apache-2.0
// A plug-in for the component model's tests, built several times: PLUGIN_NAME names the build
// and its objects' interface, "IDL:kivtest/<name>:1.0"; PLUGIN_NO_ENTRY leaves the entry point
// out. A successful createInstance answers 1, a success code other than 0. Misbehaving builds:
// PLUGIN_NULL_FACTORY's entry point and PLUGIN_NULL_OBJECT's factory report success and hand out
// nothing. PLUGIN_REENTRANT's constructor calls back into the library while it is being loaded
// (see below).
#include <cstring>

#include "kiv_com.h"

#ifndef PLUGIN_NO_ENTRY

namespace {

// The factory and the objects: a function table and a count; objects are freed at zero.
struct Object {
    const IUnknownVtbl *vtbl;
    uint32_t references;
};

const char *objectId(void *) {
    return "IDL:kivtest/" PLUGIN_NAME ":1.0";
}
uint32_t addRef(void *self) {
    return __atomic_add_fetch(&static_cast<Object *>(self)->references, 1, __ATOMIC_SEQ_CST);
}
uint32_t release(void *self) {
    auto *object = static_cast<Object *>(self);
    uint32_t count = __atomic_sub_fetch(&object->references, 1, __ATOMIC_SEQ_CST);
    if (count == 0 && object->vtbl->interfaceId == objectId) delete object;
    return count;
}
kivResult queryInterface(void *self, const char *iid, void **out) {
    const IUnknownVtbl *vtbl = static_cast<Object *>(self)->vtbl;
    bool found = !std::strcmp(iid, KIV_IID_IUNKNOWN) || !std::strcmp(iid, vtbl->interfaceId(self));
    *out = found ? self : nullptr;
    if (found) addRef(self);
    return found ? 0 : KIV_E_NOINTERFACE;
}
kivResult comQueryInterface(void *, const void *, void **out) {
    *out = nullptr;
    return KIV_E_NOINTERFACE;
}
const IUnknownVtbl objectVtbl = {comQueryInterface, addRef,  release, queryInterface, addRef,
                                 release,           objectId};

kivResult createInstance(IObjectFactory *, void *outer, const char *iid, void **out) {
    *out = nullptr;
    if (outer) return KIV_E_NO_AGGREGATION;
#ifdef PLUGIN_NULL_OBJECT
    (void)iid;
    return 0;
#endif
    auto *object = new Object{&objectVtbl, 1};
    kivResult rc = queryInterface(object, iid, out);
    release(object);
    return KIV_FAILED(rc) ? rc : 1;
}
const IObjectFactoryVtbl factoryVtbl = {comQueryInterface,
                                        addRef,
                                        release,
                                        queryInterface,
                                        addRef,
                                        release,
                                        [](void *) { return KIV_IID_IOBJECTFACTORY; },
                                        createInstance,
                                        [](IObjectFactory *, int32_t) -> kivResult { return 0; }};
Object factory = {reinterpret_cast<const IUnknownVtbl *>(&factoryVtbl), 0};

}  // namespace

extern "C" KIV_PLUGIN_EXPORT kivResult dsoGetObjectFactory(const char *, const char *iid,
                                                           void **out) {
#ifdef PLUGIN_NULL_FACTORY
    (void)iid;
    *out = nullptr;
    return 0;
#endif
    return queryInterface(&factory, iid, out);
}

#ifdef PLUGIN_REENTRANT
// While the loader runs this constructor, the plug-in registers REENTRANT_REGISTERS in this
// process for plug-in b, creates an object of CALLBACK_CLASS (served by another plug-in) and one
// of REENTRANT_SELF (served by this very plug-in, still being loaded). The results are kept for
// the test to read.
extern "C" KIV_PLUGIN_EXPORT kivResult kivtestReentrantResults[3];
kivResult kivtestReentrantResults[3] = {~0u, ~0u, ~0u};

__attribute__((constructor)) void callBackWhileLoading() {
    kivtestReentrantResults[0] =
        kivRegisterDSO(REENTRANT_REGISTERS, KIV_REGISTER_PROCESS, REENTRANT_REGISTERS_PATH);
    const char *classes[] = {CALLBACK_CLASS, REENTRANT_SELF};
    for (int i = 0; i < 2; ++i) {
        void *object = nullptr;
        kivtestReentrantResults[i + 1] = kivCreateInstance(classes[i], nullptr, KIV_CLSCTX_INPROC,
                                                           nullptr, KIV_IID_IUNKNOWN, &object);
        if (object) kivComRelease(object);
    }
}
#endif

#endif
