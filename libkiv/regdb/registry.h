// SPDX-License-Identifier: Apache-2.0
// The registry object: IRegistry over a machine store and a user store.
#pragma once

#include "kiv_com.h"
#include "com/base.h"
#include "core/lock.h"
#include "ust.h"

namespace kiv::regdb {

class KeyHandleTable;
class Store;

// The object an IRegistry pointer leads to. The process's own one is created by the factory
// and never destroyed; tests and benchmarks make their own over stores of their choosing.
struct RegistryObject {
    RegistryObject(Store &machine, Store &user);
    ~RegistryObject();  // closes the keys still open
    RegistryObject(const RegistryObject &) = delete;
    RegistryObject &operator=(const RegistryObject &) = delete;

    IRegistry *interface() { return reinterpret_cast<IRegistry *>(this); }
    static RegistryObject *of(IRegistry *registry) {
        return reinterpret_cast<RegistryObject *>(registry);
    }

    com::ObjectHeader header;  // first: the function table, then the reference count
    Mutex mutex;               // held for the whole of every operation from openMachineRoot on
    KeyHandleTable *handles;
    Store *machine;
    Store *user;
};

}  // namespace kiv::regdb
