// SPDX-License-Identifier: Apache-2.0
// The interface base: the COM-compatible front, kivSameObject, and the base slots of the
// library's own objects.
#include "com/base.h"

#include <cstdlib>

#include "ust.h"

namespace kiv::com {

kivResult objectQueryInterface(void *self, const char *iid, void **out) {
    if (!out) return KIV_E_INVALIDARG;
    *out = nullptr;
    if (!iid) return KIV_E_INVALIDARG;
    if (kivCompareIID(iid, KIV_IID_IUNKNOWN) == 0 ||
        kivCompareIID(iid, baseSlots(self)->interfaceId(self)) == 0) {
        *out = self;
        baseSlots(self)->addRef(self);
        return KIV_S_OK;
    }
    return KIV_E_NOINTERFACE;
}

uint32_t objectAddRef(void *self) {
    return ustAtomicIncrement(&static_cast<ObjectHeader *>(self)->references);
}

uint32_t objectRelease(void *self) {
    uint32_t count = ustAtomicDecrement(&static_cast<ObjectHeader *>(self)->references);
    // More releases than references: the object's state can no longer be trusted.
    if (static_cast<int32_t>(count) < 0) std::abort();
    return count;
}

}  // namespace kiv::com

using kiv::com::baseSlots;

extern "C" {

KIV_API kivResult kivComQueryInterface(void *, const void *, void **out) noexcept {
    if (out) *out = nullptr;
    return KIV_E_NOINTERFACE;
}

// A null object has no count to change: 0, as for an object that holds no reference.
KIV_API uint32_t kivComAddRef(void *object) noexcept {
    return object ? baseSlots(object)->addRef(object) : 0;
}

KIV_API uint32_t kivComRelease(void *object) noexcept {
    return object ? baseSlots(object)->release(object) : 0;
}

KIV_API kivResult kivSameObject(void *a, void *b) noexcept {
    if (!a || !b) return a == b ? 0 : 1;
    void *identityA = nullptr;
    void *identityB = nullptr;
    kivResult result = baseSlots(a)->queryInterface(a, KIV_IID_IUNKNOWN, &identityA);
    if (KIV_SUCCEEDED(result))
        result = baseSlots(b)->queryInterface(b, KIV_IID_IUNKNOWN, &identityB);
    if (KIV_SUCCEEDED(result)) {
        if (identityA && identityB)
            result = identityA == identityB ? 0 : 1;
        else
            result = KIV_E_FAIL;
    }
    if (identityA) kiv::com::releaseInterface(identityA);
    if (identityB) kiv::com::releaseInterface(identityB);
    return result;
}

}  // extern "C"
