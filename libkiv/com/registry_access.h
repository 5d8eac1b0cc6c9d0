// SPDX-License-Identifier: Apache-2.0
// Plug-in registrations in the registry database, reached only through IRegistry.
#pragma once

#include <cstdint>
#include <memory>

#include "com/locations.h"
#include "kiv_com.h"

namespace kiv::com {

// An open key of a registry object, closed when the holder goes out of scope.
class RegistryKey {
  public:
    explicit RegistryKey(IRegistry *registry) : registry_(registry) {}
    ~RegistryKey() { close(); }
    RegistryKey(const RegistryKey &) = delete;
    RegistryKey &operator=(const RegistryKey &) = delete;

    int32_t *out() { return &key_; }  // for an opener; the key must not be open
    int32_t get() const { return key_; }
    bool isOpen() const { return key_ != KIV_REG_NO_KEY; }
    int32_t release();  // hands the open key over to the caller
    void close();

  private:
    IRegistry *registry_;
    int32_t key_ = KIV_REG_NO_KEY;
};

// What the Classes key is opened for; the value is also the access asked on it.
enum class Purpose : uint32_t { registerClass = 1, unregisterClass = 2, lookUp = 8 };

// Opens KIV/Classes under a root and variant, creating the path when registering. Opening
// for writing falls back to lesser rights when the registry denies access.
kivResult openClassesKey(IRegistry *registry, Root root, uint32_t variant, Purpose purpose,
                         RegistryKey &classes);

// A text allocated with kivMalloc, freed with kivFree.
struct KivFreeDeleter {
    void operator()(char *text) const { kivFree(text); }
};
using KivText = std::unique_ptr<char, KivFreeDeleter>;

// The plug-in path registered for a class under an open Classes key. A "DSO" value that is not
// a string gives KIV_E_UNEXPECTED.
kivResult readClassPath(IRegistry *registry, int32_t classes, const char *clsid, KivText &path);
kivResult writeClass(IRegistry *registry, int32_t classes, const char *clsid, const char *path);
// Removes a class's registration; a key that is already gone counts as removed.
kivResult deleteClass(IRegistry *registry, int32_t classes, const char *clsid);

}  // namespace kiv::com
