// SPDX-License-Identifier: Apache-2.0
// Classes, plug-ins and registrations: how a class id becomes a factory entry.
#pragma once

#include <atomic>
#include <cstdint>

#include "com/locations.h"
#include "com/registry_access.h"
#include "core/lock.h"
#include "kiv_com.h"
#include "ust.h"

struct kivHashTable;

namespace kiv::com {

struct ClassEntry;    // a resolved class
struct PluginEntry;   // a loaded plug-in
struct Registration;  // an in-process registration

// The class table: resolved classes by class id. Entries are added under the class mutex and
// never change or go away, so finding one needs no lock: a warm class costs a hash and a
// comparison, and threads asking for warm classes never contend.
class ClassTable {
  public:
    ClassTable() = default;
    ~ClassTable();  // frees the entries
    ClassTable(const ClassTable &) = delete;
    ClassTable &operator=(const ClassTable &) = delete;

    const ClassEntry *find(const char *clsid) const;
    // With the class mutex held; clsid must not be in the table yet.
    const ClassEntry *add(const char *clsid, PluginEntry *plugin);

  private:
    static constexpr size_t kBuckets = 128;
    std::atomic<ClassEntry *> buckets_[kBuckets] = {};
};

// The process-wide state of the component model. A class resolves, the first time a factory
// is asked for it, to the plug-in named by the first location that has it: this process's
// own registrations, then the persistent locations in kPersistentLocations order. Resolved
// classes and loaded plug-ins are kept; a failed resolution keeps nothing and is retried.
//
// One mutex guards the tables and the cached Classes keys; it is held while a class's plug-in
// path is found (registry reads) but never while a plug-in is loaded or a factory entry runs:
// a plug-in's constructors and entry point may call back into the component model. Classes
// already resolved are found without it (ClassTable).
class Components {
  public:
    // registryEntry serves KIV_CLSID_REGISTRY and gives the registry database that holds
    // persistent registrations.
    explicit Components(kivDSOGetObjectFactory registryEntry);
    // Only objects made for tests are ever destroyed: this closes their plug-ins and keys.
    ~Components();
    Components(const Components &) = delete;
    Components &operator=(const Components &) = delete;

    kivResult findFactoryEntry(const char *clsid, kivDSOGetObjectFactory *entry) EXCLUDES(mutex_);
    kivResult registerDSO(const char *clsid, uint32_t flags, const char *path) EXCLUDES(mutex_);
    kivResult unregisterDSO(const char *clsid, uint32_t flags) EXCLUDES(mutex_);

    // The registry object, created on first use and kept; callers take no reference.
    kivResult registry(IRegistry **out);

    uint32_t loadedPluginCount() EXCLUDES(mutex_);  // for tests and diagnostics

  private:
    // The Classes key of a persistent location once a resolution reached it: open, or the
    // failure met opening it; either is kept for the life of this object.
    struct CachedClassesKey {
        int32_t key = KIV_REG_NO_KEY;
        kivResult failure = KIV_S_OK;
    };
    static constexpr size_t kLocationCount = std::size(kPersistentLocations);

    // Where a class's plug-in is: loaded already, or the path of the file to load.
    struct Resolution {
        PluginEntry *plugin = nullptr;
        KivText path;
    };
    kivResult resolve(const char *clsid, Resolution &found) REQUIRES(mutex_);
    kivResult lookUpInProcess(const char *clsid, Resolution &found) REQUIRES(mutex_);
    kivResult openLocation(size_t location) REQUIRES(mutex_);  // caches its Classes key
    kivResult lookUpPersistent(size_t location, const char *clsid, Resolution &found)
        REQUIRES(mutex_);
    void findLoaded(const char *path, Resolution &found) REQUIRES(mutex_);
    // Loads a plug-in file without the mutex, then enters it, or the entry that another thread
    // made for the same path meanwhile.
    kivResult load(const char *path, PluginEntry **plugin) EXCLUDES(mutex_);

    // Applies `change` under the machine root's Classes key (unless flags say user root only)
    // and, when the machine root cannot be opened or `settles` rejects the change's result,
    // under the user root's.
    template <typename Change, typename Settles>
    kivResult changePersistent(uint32_t flags, Purpose purpose, Change change, Settles settles);
    kivResult registerInProcess(const char *clsid, const char *path) EXCLUDES(mutex_);
    kivResult unregisterInProcess(const char *clsid) EXCLUDES(mutex_);

    kivDSOGetObjectFactory registryEntry_;
    std::atomic<IRegistry *> registry_{nullptr};
    Mutex mutex_;
    ClassTable classes_;                                 // adds under mutex_, finds without
    kivHashTable *plugins_ PT_GUARDED_BY(mutex_);        // path -> PluginEntry
    kivHashTable *registrations_ PT_GUARDED_BY(mutex_);  // class id -> Registration
    CachedClassesKey cachedKeys_[kLocationCount] GUARDED_BY(mutex_);
};

// Whether text is a class id: 36 characters, groups of 8, 4, 4, 4 and 12 lower-case hexadecimal
// digits joined by '-'.
bool isClassId(const char *text);

// The process's one Components, made by setUpProcess (kivInitialize); null before that.
Components *processComponents();

}  // namespace kiv::com
