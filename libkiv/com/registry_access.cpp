// SPDX-License-Identifier: Apache-2.0
// Plug-in registrations in the registry database: KIV/Classes/<class id>, value "DSO".
#include "com/registry_access.h"

namespace kiv::com {

int32_t RegistryKey::release() {
    int32_t key = key_;
    key_ = KIV_REG_NO_KEY;
    return key;
}

void RegistryKey::close() {
    if (isOpen()) registry_->vtbl->closeKey(registry_, release());
}

namespace {

constexpr uint32_t kNoCreateSubkey = ~kAccessCreateSubkey;

// Calls `open` with `access`, and again without the create-subkey right while the registry
// denies access and that right was asked for.
template <typename Open>
kivResult openWithFallBack(uint32_t access, Open open) {
    kivResult result = open(access);
    while (result == KIV_E_ACCESSDENIED && (access & kAccessCreateSubkey)) {
        access &= kNoCreateSubkey;
        result = open(access);
    }
    return result;
}

}  // namespace

kivResult openClassesKey(IRegistry *registry, Root root, uint32_t variant, Purpose purpose,
                         RegistryKey &classes) {
    const bool registering = purpose == Purpose::registerClass;
    const uint32_t access = registering ? kAccessQuery | kAccessCreateSubkey : kAccessQuery;
    const uint32_t options = registering ? kOptionCreate : 0;
    const auto *vtbl = registry->vtbl;

    RegistryKey rootKey(registry);
    kivResult result = openWithFallBack(access, [&](uint32_t a) {
        return root == Root::machine
                   ? vtbl->openMachineRoot(registry, rootSelector(variant), a, rootKey.out())
                   : vtbl->openUserRoot(registry, rootSelector(variant), a, rootKey.out());
    });
    if (KIV_FAILED(result)) return result;

    RegistryKey productKey(registry);
    result = openWithFallBack(access, [&](uint32_t a) {
        return vtbl->openKey(registry, rootKey.get(), kProductKey, options, a, kReservedTag,
                             productKey.out());
    });
    if (KIV_FAILED(result)) return result;
    return vtbl->openKey(registry, productKey.get(), kClassesKey, options,
                         static_cast<uint32_t>(purpose), kReservedTag, classes.out());
}

kivResult readClassPath(IRegistry *registry, int32_t classes, const char *clsid, KivText &path) {
    RegistryKey classKey(registry);
    kivResult result =
        registry->vtbl->openKey(registry, classes, clsid, 0, kAccessReadClass, 0, classKey.out());
    if (KIV_FAILED(result)) return result;

    RegistryValue value{};
    result = registry->vtbl->queryValue(registry, classKey.get(), kPathValue, &value);
    if (KIV_FAILED(result)) return result;
    if (value.kind != KIV_REG_STRING) {
        kivRegistryValueClear(&value);
        return KIV_E_UNEXPECTED;
    }
    path.reset(value.string);
    return KIV_S_OK;
}

kivResult writeClass(IRegistry *registry, int32_t classes, const char *clsid, const char *path) {
    RegistryKey classKey(registry);
    kivResult result = registry->vtbl->openKey(registry, classes, clsid, kOptionCreate,
                                               kAccessWriteClass, kReservedTag, classKey.out());
    if (KIV_FAILED(result)) return result;
    RegistryValue value{};
    value.kind = KIV_REG_STRING;
    value.string = const_cast<char *>(path);
    return registry->vtbl->setValue(registry, classKey.get(), kPathValue, &value);
}

kivResult deleteClass(IRegistry *registry, int32_t classes, const char *clsid) {
    {
        RegistryKey classKey(registry);
        kivResult result = registry->vtbl->openKey(registry, classes, clsid, 0, kAccessDeleteValue,
                                                   0, classKey.out());
        if (KIV_FAILED(result)) return result;
        result = registry->vtbl->deleteValue(registry, classKey.get(), kPathValue);
        if (KIV_FAILED(result)) return result;
    }
    kivResult result = registry->vtbl->deleteKey(registry, classes, clsid);
    return result == KIV_E_RT_KEY_DELETED ? KIV_S_OK : result;
}

}  // namespace kiv::com
