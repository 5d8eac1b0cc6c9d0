// An in-memory registry database behind IRegistry, for testing class resolution and
// registration without touching any store. It counts root openings, can fail a root's opening
// and can make a root read-only (opening it with the create right and any change are then
// denied).
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "com/locations.h"
#include "kiv_com.h"

namespace kivtest {

class FakeRegistry {
  public:
    FakeRegistry();  // becomes the one that entry() serves
    ~FakeRegistry();
    FakeRegistry(const FakeRegistry &) = delete;
    FakeRegistry &operator=(const FakeRegistry &) = delete;

    // Factory entry of the registry class, serving the most recently made FakeRegistry.
    static kivResult entry(const char *clsid, const char *iid, void **out);
    IRegistry *object() { return reinterpret_cast<IRegistry *>(&object_); }

    // Registrations as the store holds them.
    void setPath(kiv::com::Root root, uint32_t variant, const std::string &clsid,
                 const std::string &path);
    void setInt32(kiv::com::Root root, uint32_t variant, const std::string &clsid, uint32_t value);
    std::optional<std::string> path(kiv::com::Root root, uint32_t variant,
                                    const std::string &clsid) const;
    bool hasClassKey(kiv::com::Root root, uint32_t variant, const std::string &clsid) const;

    // Failure injection and observation.
    void failRoot(kiv::com::Root root, uint32_t variant, kivResult code);
    void setReadOnly(kiv::com::Root root) { readOnly_.insert(rootName(root)); }
    int rootOpens() const { return rootOpens_; }
    size_t openKeys() const;
    uint32_t references() const { return references_; }

  private:
    struct Value {
        uint32_t kind;
        std::string text;
        uint32_t int32;
    };
    struct Object {
        const IRegistryVtbl *vtbl;
        FakeRegistry *owner;
    };

    static std::string rootName(kiv::com::Root root);
    static std::string rootPath(kiv::com::Root root, uint32_t variant);
    static std::string classPath(kiv::com::Root root, uint32_t variant, const std::string &clsid);
    static FakeRegistry &of(IRegistry *self) { return *reinterpret_cast<Object *>(self)->owner; }
    bool writable(const std::string &path) const;
    kivResult hand(const std::string &path, int32_t *key);
    const std::string *pathOf(int32_t key) const;

    static uint32_t addRef(void *self);
    static uint32_t release(void *self);
    static kivResult queryInterface(void *self, const char *iid, void **out);
    static kivResult openRoot(IRegistry *self, kiv::com::Root root, uint32_t selector,
                              uint32_t access, int32_t *key);
    static kivResult openMachineRoot(IRegistry *, uint32_t, uint32_t, int32_t *);
    static kivResult openUserRoot(IRegistry *, uint32_t, uint32_t, int32_t *);
    static kivResult openKey(IRegistry *, int32_t, const char *, uint32_t, uint32_t, uint32_t,
                             int32_t *);
    static kivResult closeKey(IRegistry *, int32_t);
    static kivResult deleteKey(IRegistry *, int32_t, const char *);
    static kivResult setValue(IRegistry *, int32_t, const char *, const RegistryValue *);
    static kivResult queryValue(IRegistry *, int32_t, const char *, RegistryValue *);
    static kivResult deleteValue(IRegistry *, int32_t, const char *);

    static const IRegistryVtbl vtbl_;
    Object object_;
    uint32_t references_ = 0;
    std::set<std::string> keys_;
    std::map<std::string, std::map<std::string, Value>> values_;  // key path -> name -> value
    std::vector<std::optional<std::string>> handles_;
    std::map<std::string, kivResult> rootFailures_;
    std::set<std::string> readOnly_;
    int rootOpens_ = 0;
};

}  // namespace kivtest
