// SPDX-License-Identifier: Apache-2.0
// Class resolution, plug-in loading and in-process registrations.
#include "com/classes.h"

#include <cstring>
#include <functional>
#include <string_view>

#include "com/base.h"
#include "com/catalogue.h"
#include "com/registry_access.h"
#include "core/hash.h"
#include "regdb/regdb.h"

namespace kiv::com {

struct PluginEntry {
    char *path;  // also its key in the plug-in table
    ustDSO *dso;
    kivDSOGetObjectFactory entry;
};

struct ClassEntry {
    char *clsid;
    size_t size;  // of clsid
    size_t hash;
    PluginEntry *plugin;
    ClassEntry *next;  // in its bucket; set before the entry is published
};

struct Registration {
    char *clsid;  // also its key in the registration table
    char *path;
};

namespace {

constexpr uint32_t kPluginBuckets = 32;
constexpr uint32_t kRegistrationBuckets = 128;

template <typename T>
T *allocate() {
    return static_cast<T *>(kivCalloc(1, sizeof(T)));
}

void closePluginEntry(void *value) {
    auto *entry = static_cast<PluginEntry *>(value);
    ustCloseDSO(entry->dso);
    kivFree(entry->path);
    kivFree(entry);
}

void freeRegistration(void *value) {
    auto *registration = static_cast<Registration *>(value);
    kivFree(registration->clsid);
    kivFree(registration->path);
    kivFree(registration);
}

constexpr uint32_t kRegisterFlags =
    KIV_REGISTER_VARIANT | KIV_REGISTER_USER_ONLY | KIV_REGISTER_PROCESS;

// `path` when it is absolute or a bare file name, else `path` below the current folder.
kivResult absolutePath(const char *path, KivText &out) {
    if (path[0] == '/' || !std::strchr(path, '/')) {
        out.reset(kivStrDup(path));
        return KIV_S_OK;
    }
    size_t size = std::strlen(path) + 4096;
    out.reset(static_cast<char *>(kivMalloc(size)));
    ustResult result;
    while ((result = ustGetAbsolutePath(path, out.get(), size)) == UST_E_BUFFER_TOO_SMALL) {
        size *= 2;
        out.reset(static_cast<char *>(kivMalloc(size)));
    }
    if (KIV_FAILED(result)) out.reset();
    return result;
}

bool movesOn(kivResult result) {
    return result == KIV_E_RT_NOT_FOUND;
}

uint64_t word(const char *p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Whether n bytes at a and b are equal; inline word compares beat a call for a class id.
bool sameText(const char *a, const char *b, size_t n) {
    if (n < 8) return std::memcmp(a, b, n) == 0;
    uint64_t differ = word(a + n - 8) ^ word(b + n - 8);
    for (size_t i = 0; i + 8 < n; i += 8) differ |= word(a + i) ^ word(b + i);
    return differ == 0;
}

// Hashes a class id (usually 36 characters) on the path of every warm look-up: words multiplied
// independently of each other and summed, so that they overlap, then mixed once. The last word
// is read from the end of the text, overlapping the one before when the size is no multiple of 8.
size_t hashOf(std::string_view clsid) {
    const char *p = clsid.data();
    size_t n = clsid.size();
    uint64_t h = n * 0x9E3779B97F4A7C15ull;
    if (n < 8) {
        for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(p[i])) * 0x100000001B3ull;
    } else {
        constexpr uint64_t kFactors[] = {0xff51afd7ed558ccdull, 0xc4ceb9fe1a85ec53ull,
                                         0x9E3779B97F4A7C15ull, 0xD6E8FEB86659FD93ull};
        size_t i = 0;
        for (; i + 8 < n; i += 8)
            h += (word(p + i) ^ kFactors[(i / 8) % 4]) * kFactors[(i / 8 + 1) % 4];
        h += (word(p + n - 8) ^ kFactors[0]) * kFactors[3];
    }
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    return static_cast<size_t>(h ^ (h >> 32));
}

}  // namespace

ClassTable::~ClassTable() {
    for (auto &bucket : buckets_) {
        ClassEntry *e = bucket.load(std::memory_order_relaxed);
        while (e) {
            ClassEntry *next = e->next;
            kivFree(e->clsid);
            kivFree(e);
            e = next;
        }
    }
}

const ClassEntry *ClassTable::find(const char *clsid) const {
    std::string_view id(clsid);
    size_t hash = hashOf(id);
    for (const ClassEntry *e = buckets_[hash % kBuckets].load(std::memory_order_acquire); e;
         e = e->next)
        if (e->hash == hash && e->size == id.size() && sameText(id.data(), e->clsid, id.size()))
            return e;
    return nullptr;
}

const ClassEntry *ClassTable::add(const char *clsid, PluginEntry *plugin) {
    auto *entry = allocate<ClassEntry>();
    entry->clsid = kivStrDup(clsid);
    entry->size = std::strlen(clsid);
    entry->hash = hashOf({clsid, entry->size});
    entry->plugin = plugin;
    std::atomic<ClassEntry *> &bucket = buckets_[entry->hash % kBuckets];
    entry->next = bucket.load(std::memory_order_relaxed);
    bucket.store(entry, std::memory_order_release);
    return entry;
}

bool isClassId(const char *text) {
    if (!text) return false;
    std::string_view id(text);
    if (id.size() != 36) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = id[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

Components::Components(kivDSOGetObjectFactory registryEntry) : registryEntry_(registryEntry) {
    plugins_ = kivHashCreate(kPluginBuckets, 0);
    registrations_ = kivHashCreate(kRegistrationBuckets, 0);
}

Components::~Components() {
    if (IRegistry *registry = registry_.load()) {
        for (auto &cached : cachedKeys_)
            if (cached.key != KIV_REG_NO_KEY) registry->vtbl->closeKey(registry, cached.key);
        releaseInterface(registry);
    }
    kivHashDestroy(plugins_, closePluginEntry);
    kivHashDestroy(registrations_, freeRegistration);
}

kivResult Components::registry(IRegistry **out) {
    *out = registry_.load(std::memory_order_acquire);
    if (*out) return KIV_S_OK;

    void *factory = nullptr;
    void *object = nullptr;
    kivResult result = registryEntry_(KIV_CLSID_REGISTRY, KIV_IID_IOBJECTFACTORY, &factory);
    if (KIV_SUCCEEDED(result)) {
        auto *f = static_cast<IObjectFactory *>(factory);
        result = f ? f->vtbl->createInstance(f, nullptr, KIV_IID_IREGISTRY, &object) : KIV_E_FAIL;
        if (KIV_SUCCEEDED(result) && !object) result = KIV_E_UNEXPECTED;
    }
    if (factory) releaseInterface(factory);
    if (KIV_FAILED(result)) return result;

    // Concurrent first users all receive the one registry object; the first keeps its
    // reference and the others give theirs back.
    IRegistry *expected = nullptr;
    auto *fresh = static_cast<IRegistry *>(object);
    if (registry_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        *out = fresh;
    } else {
        releaseInterface(fresh);
        *out = expected;
    }
    return KIV_S_OK;
}

kivResult Components::findFactoryEntry(const char *clsid, kivDSOGetObjectFactory *entry) {
    *entry = nullptr;
    // The registry's class never enters the table (it is answered before resolving), so a warm
    // class is looked for first.
    if (const ClassEntry *known = classes_.find(clsid)) {
        *entry = known->plugin->entry;
        return KIV_S_OK;
    }
    if (kivCompareCLSID(clsid, KIV_CLSID_REGISTRY) == 0) {
        *entry = registryEntry_;
        return KIV_S_OK;
    }
    Resolution found;
    {
        MutexLock lock(mutex_);
        // Another thread may have resolved the class since the look-up above.
        if (const ClassEntry *known = classes_.find(clsid)) {
            *entry = known->plugin->entry;
            return KIV_S_OK;
        }
        kivResult result = resolve(clsid, found);
        if (KIV_FAILED(result)) return result;
    }
    if (!found.plugin) {
        kivResult result = load(found.path.get(), &found.plugin);
        if (KIV_FAILED(result)) return result;
    }
    MutexLock lock(mutex_);
    const ClassEntry *known = classes_.find(clsid);
    *entry = (known ? known : classes_.add(clsid, found.plugin))->plugin->entry;
    return KIV_S_OK;
}

kivResult Components::resolve(const char *clsid, Resolution &found) {
    kivResult result = lookUpInProcess(clsid, found);
    if (!movesOn(result)) return result;

    for (size_t i = 0; i < kLocationCount; ++i) {
        result = lookUpPersistent(i, clsid, found);
        if (!movesOn(result)) return result;
    }
    return KIV_E_NO_FACTORY;
}

void Components::findLoaded(const char *path, Resolution &found) {
    found.plugin = static_cast<PluginEntry *>(kivHashGet(plugins_, path));
}

kivResult Components::lookUpInProcess(const char *clsid, Resolution &found) {
    auto *registration = static_cast<Registration *>(kivHashGet(registrations_, clsid));
    if (!registration) return KIV_E_RT_NOT_FOUND;
    findLoaded(registration->path, found);
    if (!found.plugin) found.path.reset(kivStrDup(registration->path));
    return KIV_S_OK;
}

kivResult Components::openLocation(size_t location) {
    IRegistry *reg = nullptr;
    kivResult result = registry(&reg);
    if (KIV_FAILED(result)) return result;
    RegistryKey classes(reg);
    const PersistentLocation &where = kPersistentLocations[location];
    result = openClassesKey(reg, where.root, where.variant, Purpose::lookUp, classes);
    if (KIV_SUCCEEDED(result)) cachedKeys_[location].key = classes.release();
    return result;
}

kivResult Components::lookUpPersistent(size_t location, const char *clsid, Resolution &found) {
    CachedClassesKey &cached = cachedKeys_[location];
    if (cached.key == KIV_REG_NO_KEY && cached.failure == KIV_S_OK)
        cached.failure = openLocation(location);
    if (cached.failure != KIV_S_OK) return cached.failure;

    // A Classes key is open, so the registry reference is set.
    IRegistry *reg = registry_.load(std::memory_order_acquire);
    kivResult result = readClassPath(reg, cached.key, clsid, found.path);
    if (KIV_FAILED(result)) return result;
    findLoaded(found.path.get(), found);
    return KIV_S_OK;
}

kivResult Components::load(const char *path, PluginEntry **plugin) {
    // The loader runs the plug-in's constructors here; they may call back into this object.
    ustDSO *dso = nullptr;
    kivResult result = ustOpenDSO(path, 0, &dso);
    if (KIV_FAILED(result)) return result;
    void *address = nullptr;
    result = ustGetSymbolAddress(dso, KIV_DSO_ENTRY_POINT, &address);
    if (KIV_FAILED(result)) {
        ustCloseDSO(dso);
        return result;
    }

    MutexLock lock(mutex_);
    if (auto *loaded = static_cast<PluginEntry *>(kivHashGet(plugins_, path))) {
        // Loaded by another thread meanwhile (or by a call from the plug-in's own constructor):
        // keep that entry and give back this load's reference to the file.
        ustCloseDSO(dso);
        *plugin = loaded;
        return KIV_S_OK;
    }
    bindCatalogue(path);
    auto *entry = allocate<PluginEntry>();
    entry->path = kivStrDup(path);
    entry->dso = dso;
    entry->entry = reinterpret_cast<kivDSOGetObjectFactory>(address);
    kivHashInsert(plugins_, entry->path, entry);
    *plugin = entry;
    return KIV_S_OK;
}

uint32_t Components::loadedPluginCount() {
    MutexLock lock(mutex_);
    return plugins_->count;
}

kivResult Components::registerDSO(const char *clsid, uint32_t flags, const char *path) {
    if (!isClassId(clsid) || (flags & ~kRegisterFlags) || !path || !*path) return KIV_E_INVALIDARG;
    // A path with a folder in it is fixed now, against the caller's current folder, so that the
    // file loaded later does not depend on the folder of whoever loads it. A bare file name is
    // left to the loader's search path.
    KivText absolute;
    kivResult result = absolutePath(path, absolute);
    if (KIV_FAILED(result)) return result;
    if (flags & KIV_REGISTER_PROCESS) return registerInProcess(clsid, absolute.get());
    return changePersistent(
        flags, Purpose::registerClass,
        [&](IRegistry *reg, int32_t classes) {
            return writeClass(reg, classes, clsid, absolute.get());
        },
        [](kivResult written) { return KIV_SUCCEEDED(written); });
}

kivResult Components::unregisterDSO(const char *clsid, uint32_t flags) {
    if (!isClassId(clsid) || (flags & ~kRegisterFlags)) return KIV_E_INVALIDARG;
    if (flags & KIV_REGISTER_PROCESS) return unregisterInProcess(clsid);
    return changePersistent(
        flags, Purpose::unregisterClass,
        [&](IRegistry *reg, int32_t classes) { return deleteClass(reg, classes, clsid); },
        [](kivResult deleted) { return !movesOn(deleted); });
}

template <typename Change, typename Settles>
kivResult Components::changePersistent(uint32_t flags, Purpose purpose, Change change,
                                       Settles settles) {
    IRegistry *reg = nullptr;
    kivResult result = registry(&reg);
    if (KIV_FAILED(result)) return result;
    const uint32_t variant = flags & KIV_REGISTER_VARIANT;
    if (!(flags & KIV_REGISTER_USER_ONLY)) {
        RegistryKey classes(reg);
        if (KIV_SUCCEEDED(openClassesKey(reg, Root::machine, variant, purpose, classes))) {
            result = change(reg, classes.get());
            if (settles(result)) return result;
        }
    }
    RegistryKey classes(reg);
    result = openClassesKey(reg, Root::user, variant, purpose, classes);
    if (KIV_FAILED(result)) return result;
    return change(reg, classes.get());
}

kivResult Components::registerInProcess(const char *clsid, const char *path) {
    auto *registration = allocate<Registration>();
    registration->clsid = kivStrDup(clsid);
    registration->path = kivStrDup(path);

    MutexLock lock(mutex_);
    if (kivHashInsert(registrations_, registration->clsid, registration)) return KIV_S_OK;
    kivHashRemove(registrations_, clsid, freeRegistration);
    if (kivHashInsert(registrations_, registration->clsid, registration)) return KIV_S_OK;
    freeRegistration(registration);
    return KIV_E_FAIL;
}

kivResult Components::unregisterInProcess(const char *clsid) {
    MutexLock lock(mutex_);
    kivHashRemove(registrations_, clsid, freeRegistration);
    return KIV_S_OK;
}

}  // namespace kiv::com
