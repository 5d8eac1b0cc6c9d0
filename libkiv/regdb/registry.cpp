// SPDX-License-Identifier: Apache-2.0
// The IRegistry operations: key handles over store keys, value encoding, and Windows error
// numbers turned into result codes.
#include "regdb/registry.h"

#include <cstring>
#include <memory>
#include <vector>

#include "regdb/codec.h"
#include "regdb/handles.h"
#include "regdb/store.h"

namespace kiv::regdb {

namespace {

// The store's "not found" is the runtime's not-found code; every other error number goes
// through the runtime's mapping of Windows errors.
kivResult toResult(WinError error) {
    if (error == win::kSuccess) return 0;
    if (error == win::kFileNotFound) return KIV_E_RT_NOT_FOUND;
    return _ust_map_win32_error(error);
}

// Access flags of the openers, bit by bit, as Windows access rights.
uint32_t accessMask(uint32_t flags) {
    struct Bit {
        uint32_t flag;
        uint32_t right;
    };
    constexpr Bit kBits[] = {
        {KIV_REG_ACCESS_CREATE_SUBKEY, kKeyCreateSubKey},
        {KIV_REG_ACCESS_DELETE, kDelete},
        {KIV_REG_ACCESS_ENUMERATE, kKeyEnumerateSubKeys},
        {KIV_REG_ACCESS_QUERY, kKeyQueryValue},
        {KIV_REG_ACCESS_SET, kKeySetValue},
        {KIV_REG_ACCESS_DELETE_VALUE, kKeySetValue},
        {KIV_REG_ACCESS_QUERY_VALUE, kKeyQueryValue},
        {KIV_REG_ACCESS_READ, kKeyQueryValue},
        {KIV_REG_ACCESS_WRITE, kKeySetValue},
        {KIV_REG_ACCESS_READ_VALUE, kKeyQueryValue},
    };
    uint32_t mask = 0;
    for (const Bit &bit : kBits)
        if (flags & bit.flag) mask |= bit.right;
    return mask;
}

// Holds the registry object's mutex for the whole of one operation.
class Locked {
  public:
    explicit Locked(IRegistry *self) : object_(RegistryObject::of(self)), lock_(object_->mutex) {}
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

    RegistryObject &object() const { return *object_; }
    // The open key behind a handle, or null when the handle is not one.
    Key *key(int32_t handle) const { return object_->handles->find(handle); }
    int32_t add(std::unique_ptr<Key> key) const { return object_->handles->add(std::move(key)); }

  private:
    RegistryObject *object_;
    MutexLock lock_;
};

std::string_view nameOrDefault(const char *name) {
    return name ? std::string_view(name) : std::string_view();
}

const char *registryInterfaceId(void *) {
    return KIV_IID_IREGISTRY;
}

kivResult openRoot(IRegistry *self, Store *RegistryObject::*which, uint32_t access, int32_t *out) {
    if (!out) return KIV_E_INVALIDARG;
    *out = KIV_REG_NO_KEY;
    Locked locked(self);
    std::unique_ptr<Key> key;
    if (WinError e = (locked.object().*which)->openRoot(accessMask(access), key))
        return toResult(e);
    *out = locked.add(std::move(key));
    return 0;
}

kivResult openMachineRoot(IRegistry *self, uint32_t, uint32_t access, int32_t *out) {
    return openRoot(self, &RegistryObject::machine, access, out);
}

kivResult openUserRoot(IRegistry *self, uint32_t, uint32_t access, int32_t *out) {
    return openRoot(self, &RegistryObject::user, access, out);
}

kivResult openKey(IRegistry *self, int32_t parent, const char *path, uint32_t options,
                  uint32_t access, uint32_t, int32_t *out) {
    if (!out) return KIV_E_INVALIDARG;
    *out = KIV_REG_NO_KEY;
    Locked locked(self);
    Key *from = locked.key(parent);
    if (!from) return KIV_E_INVALIDARG;
    std::unique_ptr<Key> key;
    uint32_t mask = accessMask(access);
    if (options & KIV_REG_OPTION_CREATE) {
        Disposition disposition;
        if (WinError e = from->create(nameOrDefault(path), mask, key, disposition))
            return toResult(e);
        if ((options & KIV_REG_OPTION_EXCLUSIVE) && disposition == Disposition::kOpenedExistingKey)
            return KIV_E_RT_EXISTS;
    } else if (WinError e = from->open(nameOrDefault(path), mask, key)) {
        return toResult(e);
    }
    *out = locked.add(std::move(key));
    return 0;
}

kivResult closeKey(IRegistry *self, int32_t handle) {
    Locked locked(self);
    if (!locked.key(handle)) return KIV_E_INVALIDARG;
    locked.object().handles->remove(handle);
    return 0;
}

kivResult deleteKey(IRegistry *self, int32_t handle, const char *name) {
    Locked locked(self);
    Key *key = locked.key(handle);
    if (!key) return KIV_E_INVALIDARG;
    if (!name) return toResult(win::kInvalidParameter);
    return toResult(key->deleteSubKey(name));
}

kivResult getKeyInfo(IRegistry *self, int32_t handle, kivRegistryKeyInfo *info) {
    if (info) *info = kivRegistryKeyInfo{};
    Locked locked(self);
    if (!locked.key(handle)) return KIV_E_INVALIDARG;
    return KIV_E_NOTIMPL;
}

// The names of a key's subkeys or values, in a list from kivMalloc.
kivResult listNames(const Key &key, bool subKeys, StringList &list) {
    std::vector<char> name(256);
    uint32_t count = 0;
    auto **strings = static_cast<char **>(kivMalloc(8 * sizeof(char *)));
    for (uint32_t index = 0;;) {
        uint32_t length = 0;
        WinError e =
            subKeys ? key.enumSubKey(index, name, length) : key.enumValue(index, name, length);
        if (e == win::kMoreData) {
            name.resize(name.size() * 2);
            continue;
        }
        if (e == win::kNoMoreItems) break;
        if (e) {
            for (uint32_t i = 0; i < count; ++i) kivFree(strings[i]);
            kivFree(strings);
            return toResult(e);
        }
        if (count >= 8 && (count & (count - 1)) == 0)
            strings = static_cast<char **>(kivRealloc(strings, 2 * count * sizeof(char *)));
        strings[count++] = kivStrNDup(name.data(), length);
        ++index;
    }
    list.count = count;
    list.strings = strings;
    return 0;
}

kivResult enumNames(IRegistry *self, int32_t handle, bool subKeys, StringList *names) {
    if (!names) return KIV_E_INVALIDARG;
    *names = StringList{};
    Locked locked(self);
    Key *key = locked.key(handle);
    if (!key) return KIV_E_INVALIDARG;
    return listNames(*key, subKeys, *names);
}

kivResult enumKeys(IRegistry *self, int32_t handle, StringList *names) {
    return enumNames(self, handle, true, names);
}

kivResult enumValues(IRegistry *self, int32_t handle, StringList *names) {
    return enumNames(self, handle, false, names);
}

kivResult flushKey(IRegistry *self, int32_t handle) {
    Locked locked(self);
    Key *key = locked.key(handle);
    if (!key) return KIV_E_INVALIDARG;
    return toResult(key->flush());
}

kivResult setValue(IRegistry *self, int32_t handle, const char *name, const RegistryValue *value) {
    Locked locked(self);
    Key *key = locked.key(handle);
    if (!key || !value) return KIV_E_INVALIDARG;
    EncodedValue encoded;
    if (kivResult rc = encodeValue(*value, encoded)) return rc;
    if (!encoded.present) return 0;
    return toResult(key->setValue(nameOrDefault(name), encoded.type, encoded.bytes));
}

kivResult queryValue(IRegistry *self, int32_t handle, const char *name, RegistryValue *value) {
    if (!value) return KIV_E_INVALIDARG;
    clearValue(*value);
    Locked locked(self);
    Key *key = locked.key(handle);
    if (!key) return KIV_E_INVALIDARG;
    std::vector<uint8_t> buffer(256);
    uint32_t type = 0, size = 0;
    WinError e;
    while ((e = key->queryValue(nameOrDefault(name), type, buffer, size)) == win::kMoreData)
        buffer.resize(size);
    if (e) return toResult(e);
    return decodeValue(type, std::span(buffer).first(size), *value);
}

kivResult queryMultipleValues(IRegistry *self, int32_t handle, const StringList *names,
                              NamedValueList *values) {
    if (!values) return KIV_E_INVALIDARG;
    *values = NamedValueList{};
    Locked locked(self);
    Key *key = locked.key(handle);
    if (!key || !names || (names->count && !names->strings)) return KIV_E_INVALIDARG;

    std::vector<ValueEntry> entries(names->count);
    for (uint32_t i = 0; i < names->count; ++i) {
        if (!names->strings[i]) return KIV_E_INVALIDARG;
        entries[i].name = names->strings[i];
    }
    std::vector<uint8_t> buffer(1024);
    uint32_t total = 0;
    WinError e;
    while ((e = key->queryMultipleValues(entries, buffer, total)) == win::kMoreData)
        buffer.resize(total);
    if (e) return toResult(e);

    NamedValueList list{names->count, static_cast<kivNamedValue *>(kivCalloc(
                                          names->count ? names->count : 1, sizeof(kivNamedValue)))};
    for (uint32_t i = 0; i < names->count; ++i) {
        const ValueEntry &entry = entries[i];
        kivNamedValue &out = list.entries[i];
        kivResult rc =
            decodeValue(entry.type, std::span(buffer).subspan(entry.offset, entry.size), out.value);
        if (rc) {
            list.count = i;
            kivNamedValueListClear(&list);
            return rc;
        }
        out.name = kivStrDup(names->strings[i]);
    }
    *values = list;
    return 0;
}

kivResult deleteValue(IRegistry *self, int32_t handle, const char *name) {
    Locked locked(self);
    Key *key = locked.key(handle);
    if (!key) return KIV_E_INVALIDARG;
    return toResult(key->deleteValue(nameOrDefault(name)));
}

kivResult registryQueryInterface(void *self, const char *iid, void **out) {
    return com::objectQueryInterface(self, iid, out);
}

constexpr IRegistryVtbl kRegistryVtbl = {
    kivComQueryInterface,
    kivComAddRef,
    kivComRelease,
    registryQueryInterface,
    com::objectAddRef,
    com::objectRelease,
    registryInterfaceId,
    openMachineRoot,
    openUserRoot,
    openKey,
    closeKey,
    deleteKey,
    getKeyInfo,
    enumKeys,
    flushKey,
    setValue,
    queryValue,
    queryMultipleValues,
    deleteValue,
    enumValues,
};

}  // namespace

RegistryObject::RegistryObject(Store &machineStore, Store &userStore)
    : header{&kRegistryVtbl, 0},
      handles(new KeyHandleTable),
      machine(&machineStore),
      user(&userStore) {}

RegistryObject::~RegistryObject() {
    delete handles;
}

}  // namespace kiv::regdb
