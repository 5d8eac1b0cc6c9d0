// SPDX-License-Identifier: Apache-2.0
// The registry class's factory entry, its one factory object, and the one registry object that
// the factory makes over the process's machine and user stores.
#include <cstdlib>

#include "core/runtime.h"
#include "regdb/locations.h"
#include "com/base.h"
#include "regdb/regdb.h"
#include "regdb/registry.h"
#include "regdb/store.h"
#include "ust.h"

namespace kiv::regdb {

namespace {

struct FactoryObject {
    com::ObjectHeader header;  // first: the function table, then the reference count
    volatile uint32_t locks;
    Mutex mutex;  // guards the creation of `registry`
    RegistryObject *registry;
};

// Guards the creation of the one factory object. Usable from load, so that a factory asked for
// before kivInitialize still finds a working lock.
Mutex processMutex;
FactoryObject *theFactory = nullptr;

const char *factoryInterfaceId(void *) {
    return KIV_IID_IOBJECTFACTORY;
}

kivResult factoryQueryInterface(void *self, const char *iid, void **out) {
    return com::objectQueryInterface(self, iid, out);
}

kivResult createInstance(IObjectFactory *self, void *outer, const char *iid, void **out) {
    if (!out) return KIV_E_INVALIDARG;
    *out = nullptr;
    if (outer) return KIV_E_NO_AGGREGATION;
    auto *factory = reinterpret_cast<FactoryObject *>(self);
    RegistryObject *registry = nullptr;
    {
        MutexLock lock(factory->mutex);
        if (!factory->registry) {
            // The stores' locations are read here, once per process.
            factory->registry = new RegistryObject(
                *new Store(machineStorePath(kivGetRootDir()), StoreOwner::machine),
                *new Store(userStorePath(), StoreOwner::user));
        }
        registry = factory->registry;
    }
    return com::objectQueryInterface(registry, iid, out);
}

kivResult lockServer(IObjectFactory *self, int32_t lock) {
    auto *factory = reinterpret_cast<FactoryObject *>(self);
    uint32_t count =
        lock ? ustAtomicIncrement(&factory->locks) : ustAtomicDecrement(&factory->locks);
    if (static_cast<int32_t>(count) < 0) std::abort();
    return 0;
}

constexpr IObjectFactoryVtbl kFactoryVtbl = {
    kivComQueryInterface,  kivComAddRef,      kivComRelease,
    factoryQueryInterface, com::objectAddRef, com::objectRelease,
    factoryInterfaceId,    createInstance,    lockServer,
};

}  // namespace

// The process mutex works from load; nothing else of the registry needs setting up early.
void setUpProcess() {}

kivResult factoryEntry(const char *clsid, const char *iid, void **out) {
    if (!out) return KIV_E_INVALIDARG;
    *out = nullptr;
    if (!clsid || kivCompareIID(clsid, KIV_CLSID_REGISTRY) != 0) return KIV_E_FAIL;
    FactoryObject *factory = nullptr;
    {
        MutexLock lock(processMutex);
        if (!theFactory) theFactory = new FactoryObject{{&kFactoryVtbl, 0}, 0, {}, nullptr};
        factory = theFactory;
    }
    return com::objectQueryInterface(factory, iid, out);
}

}  // namespace kiv::regdb
