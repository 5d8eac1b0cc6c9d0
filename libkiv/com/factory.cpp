// SPDX-License-Identifier: Apache-2.0
// The exported object-factory functions over the process's Components.
#include "com/base.h"
#include "com/classes.h"

namespace {

using kiv::com::Components;

// Null until kivInitialize has run; callers get a result code, not a crash.
kivResult components(Components **out) {
    *out = kiv::com::processComponents();
    return *out ? KIV_S_OK : KIV_E_INVALID_STATE;
}

kivResult factoryEntryOf(const char *clsid, kivDSOGetObjectFactory *entry) {
    Components *state = nullptr;
    kivResult result = components(&state);
    return KIV_FAILED(result) ? result : state->findFactoryEntry(clsid, entry);
}

}  // namespace

extern "C" {

KIV_API kivResult kivGetObjectFactory(const char *clsid, uint32_t context, void *, const char *iid,
                                      void **out) noexcept {
    if (!out) return KIV_E_INVALIDARG;
    *out = nullptr;
    if (!clsid || !(context & KIV_CLSCTX_INPROC) || !iid) return KIV_E_INVALIDARG;
    kivDSOGetObjectFactory entry = nullptr;
    kivResult result = factoryEntryOf(clsid, &entry);
    if (KIV_FAILED(result)) return result;
    result = entry(clsid, iid, out);
    if (KIV_FAILED(result)) {
        *out = nullptr;  // a plug-in's failure hands out nothing, whatever it left there
        return result;
    }
    // Success without an interface pointer would hand the caller null as an object.
    return *out ? result : KIV_E_FAIL;
}

KIV_API kivResult kivCreateInstance(const char *clsid, void *outer, uint32_t context, void *,
                                    const char *iid, void **out) noexcept {
    if (!out) return KIV_E_INVALIDARG;
    *out = nullptr;
    // A null interface id would reach the plug-in's factory, which may compare it as text.
    if (!clsid || !(context & KIV_CLSCTX_INPROC) || !iid) return KIV_E_INVALIDARG;
    kivDSOGetObjectFactory entry = nullptr;
    kivResult result = factoryEntryOf(clsid, &entry);
    void *factory = nullptr;
    if (KIV_SUCCEEDED(result)) result = entry(clsid, KIV_IID_IOBJECTFACTORY, &factory);
    // A plug-in that reports success must have handed out a factory, and its factory an object.
    if (KIV_SUCCEEDED(result) && !factory) result = KIV_E_FAIL;
    if (KIV_SUCCEEDED(result)) {
        auto *f = static_cast<IObjectFactory *>(factory);
        result = f->vtbl->createInstance(f, outer, iid, out);
        if (KIV_SUCCEEDED(result)) result = *out ? KIV_S_OK : KIV_E_FAIL;
    }
    if (KIV_FAILED(result)) *out = nullptr;
    if (factory) kiv::com::releaseInterface(factory);
    return result;
}

KIV_API kivResult kivRegisterDSO(const char *clsid, uint32_t flags, const char *path) noexcept {
    Components *state = nullptr;
    kivResult result = components(&state);
    return KIV_FAILED(result) ? result : state->registerDSO(clsid, flags, path);
}

KIV_API kivResult kivUnregisterDSO(const char *clsid, uint32_t flags) noexcept {
    Components *state = nullptr;
    kivResult result = components(&state);
    return KIV_FAILED(result) ? result : state->unregisterDSO(clsid, flags);
}

}  // extern "C"
