#include "regdb/object.h"

#include <cstdlib>

#include "ust.h"

namespace kiv::regdb {

kivResult queryObjectInterface(void *self, const char *iid, void **out) {
    if (!out) return KIV_E_INVALIDARG;
    *out = nullptr;
    if (!iid) return KIV_E_INVALIDARG;
    auto *object = static_cast<IUnknown *>(self);
    if (kivCompareIID(iid, KIV_IID_IUNKNOWN) != 0 &&
        kivCompareIID(iid, object->vtbl->interfaceId(self)) != 0)
        return KIV_E_NOINTERFACE;
    *out = self;
    object->vtbl->addRef(self);
    return 0;
}

uint32_t addRefObject(void *self) {
    return ustAtomicIncrement(&static_cast<ObjectHeader *>(self)->refs);
}

uint32_t releaseObject(void *self) {
    uint32_t count = ustAtomicDecrement(&static_cast<ObjectHeader *>(self)->refs);
    if (static_cast<int32_t>(count) < 0) std::abort();
    return count;
}

}  // namespace kiv::regdb
