// kivCreateInstance for the built-in registry class only; plug-in classes are not resolved here.
#include "kiv_com.h"
#include "regdb/regdb.h"

extern "C" {

KIV_API kivResult kivCreateInstance(const char *clsid, void *outer, uint32_t context, void *,
                                    const char *iid, void **out) {
    if (!out) return KIV_E_INVALIDARG;
    *out = nullptr;
    if (!clsid || !(context & KIV_CLSCTX_INPROC)) return KIV_E_INVALIDARG;
    if (kivCompareIID(clsid, KIV_CLSID_REGISTRY) != 0) return KIV_E_NO_FACTORY;
    IObjectFactory *factory = nullptr;
    kivResult rc = kiv::regdb::factoryEntry(clsid, KIV_IID_IOBJECTFACTORY,
                                            reinterpret_cast<void **>(&factory));
    if (KIV_SUCCEEDED(rc)) {
        rc = factory->vtbl->createInstance(factory, outer, iid, out);
        if (KIV_SUCCEEDED(rc)) rc = 0;
    }
    if (factory) factory->vtbl->release(factory);
    return rc;
}

}  // extern "C"
