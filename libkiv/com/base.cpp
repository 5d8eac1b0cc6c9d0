// The COM-compatible front of every function table: slots 0 to 2.
#include "kiv_com.h"

extern "C" {

KIV_API kivResult kivComQueryInterface(void *, const void *, void **out) {
    if (out) *out = nullptr;
    return KIV_E_NOINTERFACE;
}

KIV_API uint32_t kivComAddRef(void *object) {
    return static_cast<IUnknown *>(object)->vtbl->addRef(object);
}

KIV_API uint32_t kivComRelease(void *object) {
    return static_cast<IUnknown *>(object)->vtbl->release(object);
}

}  // extern "C"
