// A plug-in for the component model's tests, built several times: PLUGIN_NAME names the build
// and its objects' interface, "IDL:kivtest/<name>:1.0"; PLUGIN_NO_ENTRY leaves the entry point
// out. A successful createInstance answers 1, a success code other than 0.
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
    return queryInterface(&factory, iid, out);
}

#endif
