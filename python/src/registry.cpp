// SPDX-License-Identifier: Apache-2.0
// The registry database through IRegistry, with key handles as plain integers; kiv.registry
// builds the mappings on top and closes the handles.
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "kivpy.h"

namespace kivpy {
namespace {

constexpr uint32_t kAccess = KIV_REG_ACCESS_ALL;
constexpr uint32_t kReadAccess = KIV_REG_ACCESS_ENUMERATE | KIV_REG_ACCESS_QUERY;

// Owns what a registry call returned in a RegistryValue or StringList.
struct ValueGuard {
    RegistryValue value{};
    ~ValueGuard() { kivRegistryValueClear(&value); }
};
struct ListGuard {
    StringList list{};
    ~ListGuard() { kivStringListClear(&list); }
};

class Registry {
  public:
    Registry() {
        void *out = nullptr;
        check(kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                KIV_IID_IREGISTRY, &out),
              "opening the registry");
        reg_ = static_cast<IRegistry *>(out);
    }
    ~Registry() { kivComRelease(reg_); }
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // Writable when possible; a store this user may not change opens for reading.
    int32_t openRoot(bool machine) {
        int32_t key = KIV_REG_NO_KEY;
        auto open = machine ? reg_->vtbl->openMachineRoot : reg_->vtbl->openUserRoot;
        kivResult rc = open(reg_, 0, kAccess, &key);
        if (KIV_FAILED(rc)) rc = open(reg_, 0, kReadAccess, &key);
        check(rc, machine ? "opening the machine root" : "opening the user root");
        return key;
    }

    int32_t openKey(int32_t parent, const std::string &path, bool create) {
        int32_t key = KIV_REG_NO_KEY;
        uint32_t options = create ? KIV_REG_OPTION_CREATE : 0;
        kivResult rc = reg_->vtbl->openKey(reg_, parent, path.c_str(), options, kAccess, 0, &key);
        if (KIV_FAILED(rc) && !create)
            rc = reg_->vtbl->openKey(reg_, parent, path.c_str(), 0, kReadAccess, 0, &key);
        check(rc, "opening key '" + path + "'");
        return key;
    }

    void closeKey(int32_t key) { reg_->vtbl->closeKey(reg_, key); }
    void deleteKey(int32_t key, const std::string &name) {
        check(reg_->vtbl->deleteKey(reg_, key, name.c_str()), "deleting key '" + name + "'");
    }
    void flush(int32_t key) { check(reg_->vtbl->flushKey(reg_, key), "flushing"); }

    std::vector<std::string> keys(int32_t key) { return names(key, reg_->vtbl->enumKeys); }
    std::vector<std::string> values(int32_t key) { return names(key, reg_->vtbl->enumValues); }

    py::object query(int32_t key, const std::string &name) {
        ValueGuard guard;
        check(reg_->vtbl->queryValue(reg_, key, name.c_str(), &guard.value),
              "reading value '" + name + "'");
        RegistryValue &v = guard.value;
        switch (v.kind) {
            case KIV_REG_BYTES:
                return py::bytes(static_cast<const char *>(v.bytes), v.count);
            case KIV_REG_INT32:
                return py::int_(static_cast<int32_t>(v.int32));
            case KIV_REG_INT64:
                return py::int_(static_cast<int64_t>(v.int64));
            case KIV_REG_STRING:
                return py::str(v.string ? v.string : "");
            case KIV_REG_STRING_LIST: {
                py::list items;
                for (uint32_t i = 0; i < v.count; ++i) items.append(py::str(v.strings[i]));
                return items;
            }
            default:
                return py::none();
        }
    }

    // kind: 1 bytes, 2 int32, 3 int64, 4 string, 5 list; the Python side picks it.
    void set(int32_t key, const std::string &name, uint32_t kind, const py::object &data) {
        RegistryValue v{};
        v.kind = kind;
        std::string bytes;
        std::vector<std::string> texts;
        std::vector<char *> pointers;
        switch (kind) {
            case KIV_REG_BYTES:
                bytes = data.cast<std::string>();
                v.count = static_cast<uint32_t>(bytes.size());
                v.bytes = bytes.data();
                break;
            case KIV_REG_INT32:
                v.int32 = static_cast<uint32_t>(data.cast<int32_t>());
                break;
            case KIV_REG_INT64:
                v.int64 = static_cast<uint64_t>(data.cast<int64_t>());
                break;
            case KIV_REG_STRING:
                bytes = data.cast<std::string>();
                v.string = bytes.data();
                break;
            case KIV_REG_STRING_LIST:
                texts = data.cast<std::vector<std::string>>();
                for (auto &text : texts) pointers.push_back(text.data());
                v.count = static_cast<uint32_t>(pointers.size());
                v.strings = pointers.data();
                break;
            default:
                throw py::value_error("unknown registry value kind");
        }
        check(reg_->vtbl->setValue(reg_, key, name.c_str(), &v), "writing value '" + name + "'");
    }

    void remove(int32_t key, const std::string &name) {
        check(reg_->vtbl->deleteValue(reg_, key, name.c_str()), "deleting value '" + name + "'");
    }

  private:
    using Lister = kivResult (*)(IRegistry *, int32_t, StringList *);
    std::vector<std::string> names(int32_t key, Lister list) {
        ListGuard guard;
        check(list(reg_, key, &guard.list), "listing a key");
        return {guard.list.strings, guard.list.strings + guard.list.count};
    }

    IRegistry *reg_ = nullptr;
};

}  // namespace

void bindRegistry(py::module_ &m) {
    py::class_<Registry>(m, "Registry")
        .def(py::init<>())
        .def("open_root", &Registry::openRoot)
        .def("open_key", &Registry::openKey)
        .def("close_key", &Registry::closeKey)
        .def("delete_key", &Registry::deleteKey)
        .def("flush", &Registry::flush)
        .def("keys", &Registry::keys)
        .def("values", &Registry::values)
        .def("query", &Registry::query)
        .def("set", &Registry::set)
        .def("remove", &Registry::remove);
}

}  // namespace kivpy
