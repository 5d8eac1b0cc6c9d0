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
    ustMutex mutex;  // guards the creation of `registry`
    RegistryObject *registry;
};

// Guards the creation of the one factory object. Statically initialised as well, so that a
// factory asked for before kivInitialize still finds a usable lock.
ustMutex processMutex = {PTHREAD_MUTEX_INITIALIZER};
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
    ustMutexLock(&factory->mutex);
    if (!factory->registry) {
        // The stores' locations are read here, once per process.
        factory->registry =
            new RegistryObject(*new Store(machineStorePath(kivGetRootDir()), StoreOwner::machine),
                               *new Store(userStorePath(), StoreOwner::user));
    }
    RegistryObject *registry = factory->registry;
    ustMutexUnlock(&factory->mutex);
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

void initProcessMutex() {
    ustMutexInit(&processMutex);
}

}  // namespace

void setUpProcess() {
    static ustOnce once = 0;
    ustInitOnce(&once, initProcessMutex);
}

kivResult factoryEntry(const char *clsid, const char *iid, void **out) {
    if (!out) return KIV_E_INVALIDARG;
    *out = nullptr;
    if (!clsid || kivCompareIID(clsid, KIV_CLSID_REGISTRY) != 0) return KIV_E_FAIL;
    ustMutexLock(&processMutex);
    if (!theFactory) {
        theFactory = new FactoryObject{{&kFactoryVtbl, 0}, 0, {}, nullptr};
        ustMutexInit(&theFactory->mutex);
    }
    FactoryObject *factory = theFactory;
    ustMutexUnlock(&processMutex);
    return com::objectQueryInterface(factory, iid, out);
}

}  // namespace kiv::regdb
