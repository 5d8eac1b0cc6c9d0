#include "fake_registry.h"

#include <cstring>

namespace kivtest {

using kiv::com::Root;

namespace {

FakeRegistry *current = nullptr;

bool isUnder(const std::string &path, const std::string &parent) {
    return path.size() > parent.size() && path.compare(0, parent.size(), parent) == 0 &&
           path[parent.size()] == '/';
}

// Base slots shared by the fake's two objects; their counts live in the FakeRegistry.
uint32_t countUp(void *) {
    return 1;
}
uint32_t countDown(void *) {
    return 0;
}

kivResult comQueryInterface(void *, const void *, void **out) {
    *out = nullptr;
    return KIV_E_NOINTERFACE;
}
uint32_t comAddRef(void *self) {
    return static_cast<IUnknown *>(self)->vtbl->addRef(self);
}
uint32_t comRelease(void *self) {
    return static_cast<IUnknown *>(self)->vtbl->release(self);
}

// The factory: one static object that makes the current FakeRegistry's object.
const char *factoryId(void *) {
    return KIV_IID_IOBJECTFACTORY;
}
kivResult factoryQuery(void *self, const char *iid, void **out) {
    bool ok = !std::strcmp(iid, KIV_IID_IUNKNOWN) || !std::strcmp(iid, KIV_IID_IOBJECTFACTORY);
    *out = ok ? self : nullptr;
    return ok ? KIV_S_OK : KIV_E_NOINTERFACE;
}
kivResult factoryCreate(IObjectFactory *, void *outer, const char *iid, void **out);
kivResult factoryLock(IObjectFactory *, int32_t) {
    return KIV_S_OK;
}
const IObjectFactoryVtbl factoryVtbl = {comQueryInterface, comAddRef,     comRelease,
                                        factoryQuery,      countUp,       countDown,
                                        factoryId,         factoryCreate, factoryLock};
IObjectFactory factory = {&factoryVtbl};

const char *registryId(void *) {
    return KIV_IID_IREGISTRY;
}

}  // namespace

namespace {

kivResult factoryCreate(IObjectFactory *, void *outer, const char *iid, void **out) {
    *out = nullptr;
    if (outer) return KIV_E_NO_AGGREGATION;
    if (!current) return KIV_E_FAIL;
    IRegistry *object = current->object();
    return object->vtbl->queryInterface(object, iid, out);
}

kivResult notImplemented() {
    return KIV_E_NOTIMPL;
}

}  // namespace

uint32_t FakeRegistry::addRef(void *self) {
    return ++of(static_cast<IRegistry *>(self)).references_;
}

uint32_t FakeRegistry::release(void *self) {
    return --of(static_cast<IRegistry *>(self)).references_;
}

kivResult FakeRegistry::queryInterface(void *self, const char *iid, void **out) {
    bool ok = !std::strcmp(iid, KIV_IID_IUNKNOWN) || !std::strcmp(iid, KIV_IID_IREGISTRY);
    *out = ok ? self : nullptr;
    if (ok) addRef(self);
    return ok ? KIV_S_OK : KIV_E_NOINTERFACE;
}

const IRegistryVtbl FakeRegistry::vtbl_ = {
    comQueryInterface,
    comAddRef,
    comRelease,
    FakeRegistry::queryInterface,
    FakeRegistry::addRef,
    FakeRegistry::release,
    registryId,
    FakeRegistry::openMachineRoot,
    FakeRegistry::openUserRoot,
    FakeRegistry::openKey,
    FakeRegistry::closeKey,
    FakeRegistry::deleteKey,
    [](IRegistry *, int32_t, RegistryKeyInfo *) { return notImplemented(); },
    [](IRegistry *, int32_t, StringList *) { return notImplemented(); },
    [](IRegistry *, int32_t) { return notImplemented(); },
    FakeRegistry::setValue,
    FakeRegistry::queryValue,
    [](IRegistry *, int32_t, const StringList *, NamedValueList *) { return notImplemented(); },
    FakeRegistry::deleteValue,
    [](IRegistry *, int32_t, StringList *) { return notImplemented(); },
};

FakeRegistry::FakeRegistry() : object_{&vtbl_, this} {
    for (Root root : {Root::user, Root::machine})
        for (uint32_t variant : {0u, 1u}) keys_.insert(rootPath(root, variant));
    current = this;
}

FakeRegistry::~FakeRegistry() {
    if (current == this) current = nullptr;
}

kivResult FakeRegistry::entry(const char *clsid, const char *iid, void **out) {
    *out = nullptr;
    if (std::strcmp(clsid, KIV_CLSID_REGISTRY) != 0 || !current) return KIV_E_FAIL;
    return factoryQuery(&factory, iid, out);
}

std::string FakeRegistry::rootName(Root root) {
    return root == Root::machine ? "machine" : "user";
}

std::string FakeRegistry::rootPath(Root root, uint32_t variant) {
    return rootName(root) + std::to_string(variant);
}

std::string FakeRegistry::classPath(Root root, uint32_t variant, const std::string &clsid) {
    return rootPath(root, variant) + "/KIV/Classes/" + clsid;
}

void FakeRegistry::setPath(Root root, uint32_t variant, const std::string &clsid,
                           const std::string &path) {
    std::string key = classPath(root, variant, clsid);
    for (auto slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1))
        keys_.insert(key.substr(0, slash));
    keys_.insert(key);
    values_[key]["DSO"] = Value{KIV_REG_STRING, path, 0};
}

void FakeRegistry::setInt32(Root root, uint32_t variant, const std::string &clsid, uint32_t value) {
    setPath(root, variant, clsid, "");
    values_[classPath(root, variant, clsid)]["DSO"] = Value{KIV_REG_INT32, "", value};
}

std::optional<std::string> FakeRegistry::path(Root root, uint32_t variant,
                                              const std::string &clsid) const {
    auto key = values_.find(classPath(root, variant, clsid));
    if (key == values_.end()) return std::nullopt;
    auto value = key->second.find("DSO");
    if (value == key->second.end()) return std::nullopt;
    return value->second.text;
}

bool FakeRegistry::hasClassKey(Root root, uint32_t variant, const std::string &clsid) const {
    return keys_.count(classPath(root, variant, clsid)) != 0;
}

void FakeRegistry::failRoot(Root root, uint32_t variant, kivResult code) {
    rootFailures_[rootPath(root, variant)] = code;
}

size_t FakeRegistry::openKeys() const {
    size_t n = 0;
    for (const auto &h : handles_) n += h.has_value();
    return n;
}

bool FakeRegistry::writable(const std::string &path) const {
    return !readOnly_.count(path.substr(0, path.find_first_of("01")));
}

kivResult FakeRegistry::hand(const std::string &path, int32_t *key) {
    handles_.push_back(path);
    *key = static_cast<int32_t>(handles_.size() - 1);
    return KIV_S_OK;
}

const std::string *FakeRegistry::pathOf(int32_t key) const {
    if (key < 0 || static_cast<size_t>(key) >= handles_.size() || !handles_[key]) return nullptr;
    return &*handles_[key];
}

kivResult FakeRegistry::openRoot(IRegistry *self, Root root, uint32_t selector, uint32_t access,
                                 int32_t *key) {
    FakeRegistry &r = of(self);
    *key = KIV_REG_NO_KEY;
    ++r.rootOpens_;
    if (selector != kiv::com::rootSelector(0) && selector != kiv::com::rootSelector(1))
        return KIV_E_INVALIDARG;
    std::string path = rootPath(root, (selector - kiv::com::rootSelector(0)) >> 16);
    if (auto failure = r.rootFailures_.find(path); failure != r.rootFailures_.end())
        return failure->second;
    if ((access & kiv::com::kAccessCreateSubkey) && !r.writable(path)) return KIV_E_ACCESSDENIED;
    return r.hand(path, key);
}

kivResult FakeRegistry::openMachineRoot(IRegistry *self, uint32_t selector, uint32_t access,
                                        int32_t *key) {
    return openRoot(self, Root::machine, selector, access, key);
}

kivResult FakeRegistry::openUserRoot(IRegistry *self, uint32_t selector, uint32_t access,
                                     int32_t *key) {
    return openRoot(self, Root::user, selector, access, key);
}

kivResult FakeRegistry::openKey(IRegistry *self, int32_t parent, const char *name, uint32_t options,
                                uint32_t, uint32_t, int32_t *key) {
    FakeRegistry &r = of(self);
    *key = KIV_REG_NO_KEY;
    const std::string *base = r.pathOf(parent);
    if (!base) return KIV_E_INVALIDARG;
    std::string path = *base + "/" + name;
    if (!r.keys_.count(path)) {
        if (!(options & kiv::com::kOptionCreate)) return KIV_E_RT_NOT_FOUND;
        if (!r.writable(path)) return KIV_E_ACCESSDENIED;
        r.keys_.insert(path);
    }
    return r.hand(path, key);
}

kivResult FakeRegistry::closeKey(IRegistry *self, int32_t key) {
    FakeRegistry &r = of(self);
    if (!r.pathOf(key)) return KIV_E_INVALIDARG;
    r.handles_[key].reset();
    return KIV_S_OK;
}

kivResult FakeRegistry::deleteKey(IRegistry *self, int32_t key, const char *name) {
    FakeRegistry &r = of(self);
    const std::string *base = r.pathOf(key);
    if (!base) return KIV_E_INVALIDARG;
    std::string path = *base + "/" + name;
    if (!r.keys_.count(path)) return KIV_E_RT_NOT_FOUND;
    if (!r.writable(path)) return KIV_E_ACCESSDENIED;
    for (const auto &k : r.keys_)
        if (isUnder(k, path)) return KIV_E_ACCESSDENIED;  // has subkeys
    r.keys_.erase(path);
    r.values_.erase(path);
    return KIV_S_OK;
}

kivResult FakeRegistry::setValue(IRegistry *self, int32_t key, const char *name,
                                 const RegistryValue *value) {
    FakeRegistry &r = of(self);
    const std::string *path = r.pathOf(key);
    if (!path) return KIV_E_INVALIDARG;
    if (!r.writable(*path)) return KIV_E_ACCESSDENIED;
    if (value->kind != KIV_REG_STRING) return KIV_E_NOTIMPL;
    r.values_[*path][name] = Value{KIV_REG_STRING, value->string, 0};
    return KIV_S_OK;
}

kivResult FakeRegistry::queryValue(IRegistry *self, int32_t key, const char *name,
                                   RegistryValue *value) {
    FakeRegistry &r = of(self);
    value->kind = KIV_REG_NONE;
    const std::string *path = r.pathOf(key);
    if (!path) return KIV_E_INVALIDARG;
    auto values = r.values_.find(*path);
    if (values == r.values_.end() || !values->second.count(name)) return KIV_E_RT_NOT_FOUND;
    const Value &v = values->second.at(name);
    value->kind = v.kind;
    if (v.kind == KIV_REG_STRING)
        value->string = kivStrDup(v.text.c_str());
    else
        value->int32 = v.int32;
    return KIV_S_OK;
}

kivResult FakeRegistry::deleteValue(IRegistry *self, int32_t key, const char *name) {
    FakeRegistry &r = of(self);
    const std::string *path = r.pathOf(key);
    if (!path) return KIV_E_INVALIDARG;
    if (!r.writable(*path)) return KIV_E_ACCESSDENIED;
    auto values = r.values_.find(*path);
    if (values == r.values_.end() || !values->second.erase(name)) return KIV_E_RT_NOT_FOUND;
    return KIV_S_OK;
}

}  // namespace kivtest
