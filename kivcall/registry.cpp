// SPDX-License-Identifier: Apache-2.0
// Type library registrations: KIV/TypeLibraries under a root of the registry database holds one
// string value per library, named by and holding its absolute path.
#include <climits>
#include <cstdlib>
#include <memory>

#include "catalog.h"
#include "com/locations.h"

namespace kcall {

namespace {

using kiv::com::kPersistentLocations;
using kiv::com::Root;

constexpr const char *kLibrariesKey = "TypeLibraries";
constexpr uint32_t kRegisterFlags =
    KIV_REGISTER_VARIANT | KIV_REGISTER_USER_ONLY | KIV_REGISTER_PROCESS;

struct RegistryRelease {
    void operator()(IRegistry *r) const { r->vtbl->release(r); }
};
using RegistryRef = std::unique_ptr<IRegistry, RegistryRelease>;

// An open key, closed at scope end.
class Key {
  public:
    explicit Key(IRegistry *r) : r_(r) {}
    ~Key() {
        if (key_ != KIV_REG_NO_KEY) r_->vtbl->closeKey(r_, key_);
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    int32_t *out() { return &key_; }
    int32_t get() const { return key_; }

  private:
    IRegistry *r_;
    int32_t key_ = KIV_REG_NO_KEY;
};

kivResult openRegistry(RegistryRef &out) {
    void *object = nullptr;
    kivResult rc = kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                     KIV_IID_IREGISTRY, &object);
    if (KIV_SUCCEEDED(rc)) out.reset(static_cast<IRegistry *>(object));
    return rc;
}

// Opens KIV/TypeLibraries under a root; `create` makes the keys that are missing.
kivResult openLibrariesKey(IRegistry *r, Root root, uint32_t variant, bool create, Key &key) {
    const uint32_t access = create ? KIV_REG_ACCESS_ALL : KIV_REG_ACCESS_QUERY;
    const uint32_t options = create ? KIV_REG_OPTION_CREATE : 0;
    Key rootKey(r);
    const uint32_t selector = kiv::com::rootSelector(variant);
    kivResult rc = root == Root::machine
                       ? r->vtbl->openMachineRoot(r, selector, access, rootKey.out())
                       : r->vtbl->openUserRoot(r, selector, access, rootKey.out());
    if (KIV_FAILED(rc)) return rc;
    Key product(r);
    rc = r->vtbl->openKey(r, rootKey.get(), kiv::com::kProductKey, options, access, 0,
                          product.out());
    if (KIV_FAILED(rc)) return rc;
    return r->vtbl->openKey(r, product.get(), kLibrariesKey, options, access, 0, key.out());
}

void readLibraries(IRegistry *r, Root root, uint32_t variant, std::vector<RegisteredLibrary> &out) {
    Key key(r);
    if (KIV_FAILED(openLibrariesKey(r, root, variant, false, key))) return;
    StringList names{};
    if (KIV_FAILED(r->vtbl->enumValues(r, key.get(), &names))) return;
    for (uint32_t i = 0; i < names.count; ++i) {
        RegistryValue value{};
        if (KIV_SUCCEEDED(r->vtbl->queryValue(r, key.get(), names.strings[i], &value)) &&
            value.kind == KIV_REG_STRING && value.string)
            out.push_back({value.string, root == Root::machine});
        kivRegistryValueClear(&value);
    }
    kivStringListClear(&names);
}

kivResult absolutePath(const char *path, std::string &out) {
    char buffer[PATH_MAX];
    if (!::realpath(path, buffer)) return fail(KIV_E_RT_NO_FILE, std::string(path) + ": not found");
    out = buffer;
    return 0;
}

// Writes or removes the value under the machine root, falling back to the user root.
template <typename Change>
kivResult changePersistent(uint32_t flags, Change change) {
    RegistryRef r;
    kivResult rc = openRegistry(r);
    if (KIV_FAILED(rc)) return rc;
    const uint32_t variant = flags & KIV_REGISTER_VARIANT;
    if (!(flags & KIV_REGISTER_USER_ONLY)) {
        Key key(r.get());
        if (KIV_SUCCEEDED(openLibrariesKey(r.get(), Root::machine, variant, true, key))) {
            if (KIV_SUCCEEDED(rc = change(r.get(), key.get()))) return rc;
        }
    }
    Key key(r.get());
    if (KIV_FAILED(rc = openLibrariesKey(r.get(), Root::user, variant, true, key))) return rc;
    return change(r.get(), key.get());
}

}  // namespace

std::vector<RegisteredLibrary> registeredLibraries() {
    std::vector<RegisteredLibrary> out;
    RegistryRef r;
    if (KIV_FAILED(openRegistry(r))) return out;
    for (const auto &where : kPersistentLocations)
        readLibraries(r.get(), where.root, where.variant, out);
    return out;
}

}  // namespace kcall

using namespace kcall;

KIV_API kivResult kcallRegisterLibrary(const char *path, uint32_t flags) noexcept {
    if (!path || (flags & ~kRegisterFlags)) return fail(KIV_E_INVALIDARG, "bad path or flags");
    std::string absolute;
    kivResult rc = absolutePath(path, absolute);
    if (KIV_FAILED(rc)) return rc;
    kivTLib *tlib = nullptr;
    if (KIV_FAILED(rc = kivTLibOpen(absolute.c_str(), KIV_TLIB_READONLY, &tlib)))
        return fail(rc, absolute + ": not a type library");
    kivTLibClose(tlib);
    if (flags & KIV_REGISTER_PROCESS) {
        addProcessLibrary(absolute);
        return 0;
    }
    return changePersistent(flags, [&](IRegistry *r, int32_t key) {
        RegistryValue value{};
        value.kind = KIV_REG_STRING;
        value.string = absolute.data();
        return r->vtbl->setValue(r, key, absolute.c_str(), &value);
    });
}

KIV_API kivResult kcallUnregisterLibrary(const char *path, uint32_t flags) noexcept {
    if (!path || (flags & ~kRegisterFlags)) return fail(KIV_E_INVALIDARG, "bad path or flags");
    std::string absolute;
    if (KIV_FAILED(absolutePath(path, absolute))) absolute = path;  // the file may be gone
    if (flags & KIV_REGISTER_PROCESS)
        return removeProcessLibrary(absolute) ? 0 : KIV_E_RT_NOT_FOUND;
    return changePersistent(flags, [&](IRegistry *r, int32_t key) {
        return r->vtbl->deleteValue(r, key, absolute.c_str());
    });
}
