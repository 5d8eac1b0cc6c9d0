// SPDX-License-Identifier: Apache-2.0
// The interface base as the library's own objects implement it.
#pragma once

#include <cstdint>

#include "kiv_com.h"

namespace kiv::com {

// The fields with which every object of the library begins: its function table, then its
// reference count. The count starts at 0 and changes only atomically.
struct ObjectHeader {
    const void *vtbl;
    volatile uint32_t references;
};

// Base slots 3 to 5 for objects that begin with an ObjectHeader. queryInterface answers
// KIV_IID_IUNKNOWN and the object's own interface id (its slot 6) with the object itself and one
// more reference; a null iid or out gives KIV_E_INVALIDARG. release aborts when the count would go
// below zero; reaching zero destroys nothing (these objects live until the process ends).
kivResult objectQueryInterface(void *self, const char *iid, void **out);
uint32_t objectAddRef(void *self);
uint32_t objectRelease(void *self);

// Calls through the base slots of any interface pointer.
inline const IUnknownVtbl *baseSlots(void *object) {
    return static_cast<IUnknown *>(object)->vtbl;
}
inline uint32_t releaseInterface(void *object) {
    return baseSlots(object)->release(object);
}

}  // namespace kiv::com
