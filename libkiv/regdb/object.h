// The interface base shared by the registry component's two objects, the registry and its
// factory: both begin with their function table and their reference count, so one addRef and
// one release serve both.
#pragma once

#include <cstdint>

#include "kiv_com.h"

namespace kiv::regdb {

struct ObjectHeader {
    const void *vtbl;
    volatile uint32_t refs;  // starts at 0; the objects live until the process ends
};

// Hands out the object itself for KIV_IID_IUNKNOWN and for the id its interfaceId slot
// returns, with one more reference; KIV_E_NOINTERFACE for any other id.
kivResult queryObjectInterface(void *self, const char *iid, void **out);
uint32_t addRefObject(void *self);
// Aborts the process when the count drops below zero.
uint32_t releaseObject(void *self);

}  // namespace kiv::regdb
