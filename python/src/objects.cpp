// SPDX-License-Identifier: Apache-2.0
// Objects through the dynamic call library: proxies of interface pointers, methods that turn
// Python values into call values and back, and Python instances as dynamic kiv objects.
//
// The hot path (a method call on a proxy) is written against the C API: Method objects are
// vectorcall method descriptors, so `proxy.add(1, 2)` reaches invoke() without a bound
// method or an argument tuple, and converts each argument straight into a kcallValue.
#include "kivpy.h"
// After Python.h, which kivpy.h includes through pybind11.
#include <structmember.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <ffi.h>

#include "ffi_types.h"
#include "kiv_call.h"
#include "objects.h"

namespace kivpy {
namespace {

// ---- Python helpers --------------------------------------------------------------------

// The package's Python side of the conversions (kiv.objects): classes for structures,
// unions, enumerations and interfaces, decimals, and the handling of failed implementations.
PyObject *package() {
    static PyObject *module = nullptr;
    if (!module) module = PyImport_ImportModule("kiv.objects");
    return module;
}

PyObject *callPackage(const char *name, PyObject *a, PyObject *b = nullptr) {
    PyObject *module = package();
    if (!module) return nullptr;
    return PyObject_CallMethod(module, name, b ? "OO" : "O", a, b);
}

// Raises the kiv error for a failed call, with the library's explanation as context.
void setCallError(kivResult code, const char *what) {
    std::string context = what;
    const char *detail = kcallLastError();
    if (detail && *detail) context += std::string(": ") + detail;
    try {
        raiseError(code, context);
    } catch (py::error_already_set &e) {
        e.restore();
    }
}

// A fixed-size array of call values that clears them all when it goes.
class Values {
  public:
    explicit Values(size_t count) : count_(count) {
        values_ = count <= kInline ? inline_ : (heap_.resize(count), heap_.data());
        std::memset(static_cast<void *>(values_), 0, sizeof(kcallValue) * count);
    }
    ~Values() {
        for (size_t i = 0; i < count_; ++i) kcallValueClear(&values_[i]);
    }
    Values(const Values &) = delete;
    Values &operator=(const Values &) = delete;
    kcallValue *data() { return values_; }
    kcallValue &operator[](size_t i) { return values_[i]; }

  private:
    static constexpr size_t kInline = 8;
    size_t count_;
    kcallValue inline_[kInline];
    std::vector<kcallValue> heap_;
    kcallValue *values_;
};

// A static type object, zeroed but for its header.
PyTypeObject emptyType() {
    PyTypeObject t;
    std::memset(static_cast<void *>(&t), 0, sizeof t);
    t.ob_base.ob_base.ob_refcnt = 1;
    return t;
}

// ---- the Object type: one interface pointer ------------------------------------------

struct ObjectRef {
    PyObject_HEAD void *object;
    const kcallInterface *iface;
    PyObject *weakrefs;
};

void objectDealloc(PyObject *self) {
    auto *o = reinterpret_cast<ObjectRef *>(self);
    if (o->weakrefs) PyObject_ClearWeakRefs(self);
    if (o->object) {
        // A Python implementation's last release takes the GIL it already holds: allowed.
        kivComRelease(o->object);
        o->object = nullptr;
    }
    Py_TYPE(self)->tp_free(self);
}

PyObject *objectRepr(PyObject *self) {
    auto *o = reinterpret_cast<ObjectRef *>(self);
    const char *name = o->iface ? o->iface->name : "kiv::IUnknown";
    return PyUnicode_FromFormat("<kiv %s object at %p>", name, o->object);
}

PyObject *objectInterfaceId(PyObject *self, void *) {
    auto *o = reinterpret_cast<ObjectRef *>(self);
    return PyUnicode_FromString(o->iface ? o->iface->iid : KIV_IID_IUNKNOWN);
}

PyObject *objectAddress(PyObject *self, void *) {
    return PyLong_FromVoidPtr(reinterpret_cast<ObjectRef *>(self)->object);
}

PyObject *objectQuery(PyObject *self, PyObject *arg);

PyMethodDef objectMethods[] = {
    {"query", objectQuery, METH_O,
     "query(iid) -> proxy\n--\n\nThe object's interface `iid` (queryInterface); kiv.NoInterface "
     "when it has none."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef objectGetSet[] = {
    {"_kiv_iid", objectInterfaceId, nullptr, "The interface id of this proxy.", nullptr},
    {"_kiv_address", objectAddress, nullptr, "The interface pointer, as an int.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject ObjectType = [] {
    PyTypeObject t = emptyType();
    t.tp_name = "kiv._kiv.Object";
    t.tp_basicsize = sizeof(ObjectRef);
    t.tp_dealloc = objectDealloc;
    t.tp_repr = objectRepr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = "A reference to a kiv object, typed as one of its interfaces.";
    t.tp_weaklistoffset = offsetof(ObjectRef, weakrefs);
    t.tp_methods = objectMethods;
    t.tp_getset = objectGetSet;
    return t;
}();

bool isObject(PyObject *o) {
    return PyObject_TypeCheck(o, &ObjectType);
}

// ---- proxies -------------------------------------------------------------------------

std::unordered_map<const kcallInterface *, PyObject *> proxyClasses;

// A proxy owning `object` (one reference, given up by the caller), typed as `iface` (null:
// IUnknown).
PyObject *wrapObject(void *object, const kcallInterface *iface) {
    PyObject *cls = nullptr;
    auto found = proxyClasses.find(iface);
    if (found != proxyClasses.end()) {
        cls = found->second;
    } else {
        PyObject *iid = PyUnicode_FromString(iface ? iface->iid : KIV_IID_IUNKNOWN);
        cls = iid ? callPackage("_proxy_class", iid) : nullptr;
        Py_XDECREF(iid);
        if (!cls || !PyType_Check(cls) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls), &ObjectType)) {
            if (cls) PyErr_SetString(PyExc_TypeError, "_proxy_class gave no proxy class");
            Py_XDECREF(cls);
            kivComRelease(object);
            return nullptr;
        }
        proxyClasses.emplace(iface, cls);  // kept for the life of the process
    }
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) {
        kivComRelease(object);
        return nullptr;
    }
    auto *o = reinterpret_cast<ObjectRef *>(self);
    o->object = object;
    o->iface = iface;
    return self;
}

// The type information of an interface, held for the life of the process: proxy classes and
// methods keep pointers into it, so a library read again after a change must not free it.
kivResult heldInterface(const char *iid, const kcallInterface **out) {
    static std::unordered_set<const kcallInterface *> held;
    kivResult rc = kcallHoldInterface(iid, out);
    if (KIV_SUCCEEDED(rc) && !held.insert(*out).second) kcallReleaseInterface(*out);
    return rc;
}

// The type information of an interface. IUnknown has none worth asking for (no members), and
// stands for itself as null: the library's description of it is not filled in.
kivResult findInterface(const char *iid, const kcallInterface **out) {
    *out = nullptr;
    if (std::strcmp(iid, KIV_IID_IUNKNOWN) == 0) return KIV_S_OK;
    return heldInterface(iid, out);
}

// A proxy for `object` found as interface `iid`, owning the reference given.
PyObject *wrapWithId(void *object, const char *iid) {
    const kcallInterface *iface = nullptr;
    kivResult rc = findInterface(iid, &iface);
    if (KIV_FAILED(rc)) {
        kivComRelease(object);
        setCallError(rc, (std::string("type information of ") + iid).c_str());
        return nullptr;
    }
    return wrapObject(object, iface);
}

// The object's interface `iid` with a new reference; null with a Python error set.
void *queryObject(void *object, const char *iid) {
    void *out = nullptr;
    auto *unknown = static_cast<IUnknown *>(object);
    kivResult rc;
    Py_BEGIN_ALLOW_THREADS rc = unknown->vtbl->queryInterface(object, iid, &out);
    Py_END_ALLOW_THREADS if (KIV_FAILED(rc) || !out) {
        setCallError(KIV_FAILED(rc) ? rc : KIV_E_NOINTERFACE,
                     (std::string("queryInterface ") + iid).c_str());
        return nullptr;
    }
    return out;
}

PyObject *objectQuery(PyObject *self, PyObject *arg) {
    const char *iid = PyUnicode_AsUTF8(arg);
    if (!iid) return nullptr;
    void *out = queryObject(reinterpret_cast<ObjectRef *>(self)->object, iid);
    return out ? wrapWithId(out, iid) : nullptr;
}

// Whether an interface is `iid` or derives from it.
bool implementsId(const kcallInterface *iface, const char *iid) {
    for (; iface; iface = iface->base)
        if (std::strcmp(iface->iid, iid) == 0) return true;
    return std::strcmp(iid, KIV_IID_IUNKNOWN) == 0;
}

// ---- Python implementations as dynamic objects ----------------------------------------

constexpr uint64_t kImplementationMagic = 0x6b69762d70797468;  // "kiv-pyth"

struct Implementation {
    uint64_t magic = kImplementationMagic;
    PyObject *instance;
};

kivResult handleCall(void *context, const kcallMethod *method, kcallValue *args,
                     kcallValue *result);

void releaseImplementation(void *context) {
    auto *impl = static_cast<Implementation *>(context);
    if (Py_IsInitialized()) {
        PyGILState_STATE gil = PyGILState_Ensure();
        Py_DECREF(impl->instance);
        PyGILState_Release(gil);
    }
    delete impl;
}

PyObject *instanceOf(void *object) {
    auto *impl = static_cast<Implementation *>(kcallObjectContext(object));
    return impl && impl->magic == kImplementationMagic ? impl->instance : nullptr;
}

// A new dynamic object for a Python instance whose class lists interface ids in
// __kiv_interfaces__, as interface `iid` (null: the first listed).
void *implement(PyObject *instance, const char *iid) {
    PyObject *ids = PyObject_GetAttrString(instance, "__kiv_interfaces__");
    if (!ids) return nullptr;
    PyObject *list = PySequence_Fast(ids, "__kiv_interfaces__ must be a sequence of ids");
    Py_DECREF(ids);
    if (!list) return nullptr;
    std::vector<const char *> iids;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list); ++i) {
        const char *text = PyUnicode_AsUTF8(PySequence_Fast_GET_ITEM(list, i));
        if (!text) {
            Py_DECREF(list);
            return nullptr;
        }
        iids.push_back(text);
    }
    auto *impl = new Implementation{kImplementationMagic, instance};
    void *out = nullptr;
    kivResult rc = kcallObjectCreate(iids.data(), static_cast<uint32_t>(iids.size()), handleCall,
                                     impl, releaseImplementation, iid, &out);
    Py_DECREF(list);
    if (KIV_FAILED(rc)) {
        delete impl;
        setCallError(rc, "implementing an interface in Python");
        return nullptr;
    }
    Py_INCREF(instance);  // the object's context holds the instance until its last release
    return out;
}

bool isImplementation(PyObject *o) {
    return PyObject_HasAttrString(o, "__kiv_interfaces__");
}

// ---- Python values to call values ------------------------------------------------------

bool toValue(PyObject *o, const kcallType *type, kcallValue *out);

bool typeError(const char *expected, PyObject *got, const kcallType *type) {
    PyErr_Format(PyExc_TypeError, "expected %s for %s, got %s", expected, type->name,
                 Py_TYPE(got)->tp_name);
    return false;
}

bool rangeError(PyObject *got, const kcallType *type) {
    PyErr_Format(PyExc_OverflowError, "%R is out of range for %s", got, type->name);
    return false;
}

bool isInteger(PyObject *o) {
    return PyLong_Check(o) && !PyBool_Check(o);
}

bool signedValue(PyObject *o, const kcallType *type, int64_t lo, int64_t hi, int64_t *x) {
    if (!isInteger(o)) return typeError("int", o, type);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < lo || v > hi) return rangeError(o, type);
    *x = v;
    return true;
}

bool unsignedValue(PyObject *o, const kcallType *type, uint64_t hi, uint64_t *x) {
    if (!isInteger(o)) return typeError("int", o, type);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow > 0) {
        unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return rangeError(o, type);
        }
        if (u > hi) return rangeError(o, type);
        *x = u;
        return true;
    }
    if (overflow < 0 || v < 0 || static_cast<uint64_t>(v) > hi) return rangeError(o, type);
    *x = static_cast<uint64_t>(v);
    return true;
}

bool charValue(PyObject *o, const kcallType *type, uint32_t max, uint32_t *code) {
    if (PyBytes_Check(o) && PyBytes_GET_SIZE(o) == 1 && max == 0xFF) {
        *code = static_cast<uint8_t>(PyBytes_AS_STRING(o)[0]);
        return true;
    }
    if (!PyUnicode_Check(o) || PyUnicode_GET_LENGTH(o) != 1)
        return typeError("a one-character str", o, type);
    *code = PyUnicode_READ_CHAR(o, 0);
    if (*code > max) return rangeError(o, type);
    return true;
}

bool doubleValue(PyObject *o, const kcallType *type, double *x) {
    if (!PyFloat_Check(o) && !isInteger(o)) return typeError("float", o, type);
    *x = PyFloat_AsDouble(o);
    return !(*x == -1.0 && PyErr_Occurred());
}

bool decimalValue(PyObject *o, const kcallType *type, int width, kcallValue *out) {
    PyObject *w = PyLong_FromLong(width);
    PyObject *bits = w ? callPackage("_decimal_bits", o, w) : nullptr;
    Py_XDECREF(w);
    if (!bits) return false;
    out->kind = type->kind;
    bool ok = true;
    if (width == 32) {
        out->v.d32.bits = static_cast<uint32_t>(PyLong_AsUnsignedLongLong(bits));
    } else if (width == 64) {
        out->v.d64.bits = PyLong_AsUnsignedLongLong(bits);
    } else {
        PyObject *mask = PyLong_FromUnsignedLongLong(UINT64_MAX);
        PyObject *sixtyFour = PyLong_FromLong(64);
        PyObject *low = PyNumber_And(bits, mask);
        PyObject *high = PyNumber_Rshift(bits, sixtyFour);
        ok = low && high;
        if (ok) {
            out->v.d128.words[0] = PyLong_AsUnsignedLongLong(low);
            out->v.d128.words[1] = PyLong_AsUnsignedLongLong(high);
        }
        Py_XDECREF(mask);
        Py_XDECREF(sixtyFour);
        Py_XDECREF(low);
        Py_XDECREF(high);
    }
    Py_DECREF(bits);
    return ok && !PyErr_Occurred();
}

bool stringValue(PyObject *o, const kcallType *type, kcallValue *out) {
    if (!PyUnicode_Check(o)) return typeError("str", o, type);
    if (type->kind == KIV_TYPE_STRING) {
        Py_ssize_t length = 0;
        const char *text = PyUnicode_AsUTF8AndSize(o, &length);
        if (!text) return false;
        kivResult rc = kcallValueSetString(out, text, static_cast<size_t>(length));
        if (KIV_FAILED(rc)) return setCallError(rc, type->name), false;
        return true;
    }
    PyObject *encoded = PyUnicode_AsEncodedString(o, "utf-16-le", "strict");
    if (!encoded) return false;
    kivResult rc =
        kcallValueSetWString(out, reinterpret_cast<const kivWChar *>(PyBytes_AS_STRING(encoded)),
                             static_cast<size_t>(PyBytes_GET_SIZE(encoded) / 2));
    Py_DECREF(encoded);
    if (KIV_FAILED(rc)) return setCallError(rc, type->name), false;
    return true;
}

bool itemsValue(PyObject *o, const kcallType *type, kcallValue *out) {
    if (PyUnicode_Check(o)) return typeError("a sequence", o, type);
    const kcallType *element = type->element;
    if (element->kind == KIV_TYPE_OCTET && PyObject_CheckBuffer(o)) {
        Py_buffer view;
        if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) < 0) return false;
        kivResult rc = kcallValueSetItems(out, type->kind, static_cast<uint32_t>(view.len));
        if (KIV_SUCCEEDED(rc)) {
            for (Py_ssize_t i = 0; i < view.len; ++i) {
                out->v.items[i].kind = KIV_TYPE_OCTET;
                out->v.items[i].v.octet = static_cast<const uint8_t *>(view.buf)[i];
            }
        }
        PyBuffer_Release(&view);
        if (KIV_FAILED(rc)) return setCallError(rc, type->name), false;
        return true;
    }
    PyObject *fast = PySequence_Fast(o, "");
    if (!fast) {
        PyErr_Clear();
        return typeError("a sequence", o, type);
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    if (n > UINT32_MAX) {
        Py_DECREF(fast);
        return rangeError(o, type);
    }
    kivResult rc = kcallValueSetItems(out, type->kind, static_cast<uint32_t>(n));
    bool ok = KIV_SUCCEEDED(rc);
    if (!ok) setCallError(rc, type->name);
    for (Py_ssize_t i = 0; ok && i < n; ++i)
        ok = toValue(PySequence_Fast_GET_ITEM(fast, i), element, &out->v.items[i]);
    Py_DECREF(fast);
    return ok;
}

bool structValue(PyObject *o, const kcallType *type, kcallValue *out) {
    bool byPosition = PyTuple_Check(o) || PyList_Check(o);
    bool byKey = PyDict_Check(o);
    if (byPosition && PySequence_Fast_GET_SIZE(o) != static_cast<Py_ssize_t>(type->fieldCount)) {
        PyErr_Format(PyExc_TypeError, "%s has %u members, got %zd values", type->name,
                     type->fieldCount, PySequence_Fast_GET_SIZE(o));
        return false;
    }
    kivResult rc = kcallValueSetItems(out, KIV_TYPE_STRUCT, type->fieldCount);
    if (KIV_FAILED(rc)) return setCallError(rc, type->name), false;
    for (uint32_t i = 0; i < type->fieldCount; ++i) {
        const kcallField &field = type->fields[i];
        PyObject *item;
        if (byPosition) {
            item = PySequence_Fast_GET_ITEM(o, i);
            Py_INCREF(item);
        } else if (byKey) {
            item = PyDict_GetItemString(o, field.name);
            if (!item) {
                PyErr_Format(PyExc_TypeError, "%s: member '%s' is missing", type->name, field.name);
                return false;
            }
            Py_INCREF(item);
        } else {
            item = PyObject_GetAttrString(o, field.name);
            if (!item) {
                PyErr_Clear();
                return typeError("a structure, dict or tuple", o, type);
            }
        }
        bool ok = toValue(item, field.type, &out->v.items[i]);
        Py_DECREF(item);
        if (!ok) return false;
    }
    return true;
}

// The case of a union for a discriminator value; null when none applies.
const kcallField *unionCase(const kcallType *type, int64_t label) {
    const kcallField *fallback = nullptr;
    for (uint32_t i = 0; i < type->fieldCount; ++i) {
        if (type->fields[i].isDefault)
            fallback = &type->fields[i];
        else if (type->fields[i].label == label)
            return &type->fields[i];
    }
    return fallback;
}

int64_t labelOf(const kcallValue &d) {
    switch (d.kind) {
        case KIV_TYPE_BOOLEAN:
            return d.v.boolean;
        case KIV_TYPE_CHAR:
            return static_cast<uint8_t>(d.v.ch);
        case KIV_TYPE_WCHAR:
            return d.v.wch;
        case KIV_TYPE_SHORT:
            return d.v.i16;
        case KIV_TYPE_USHORT:
            return d.v.u16;
        case KIV_TYPE_LONG:
            return d.v.i32;
        case KIV_TYPE_ULONG:
        case KIV_TYPE_ENUM:
            return d.v.u32;
        case KIV_TYPE_LONGLONG:
            return d.v.i64;
        case KIV_TYPE_ULONGLONG:
            return static_cast<int64_t>(d.v.u64);
        case KIV_TYPE_OCTET:
            return d.v.octet;
        default:
            return 0;
    }
}

// A union as (discriminator, value), or an object with `_d` and `value` attributes.
bool unionValue(PyObject *o, const kcallType *type, kcallValue *out) {
    PyObject *d = nullptr, *value = nullptr;
    if (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 2) {
        d = PyTuple_GET_ITEM(o, 0);
        value = PyTuple_GET_ITEM(o, 1);
        Py_INCREF(d);
        Py_INCREF(value);
    } else {
        d = PyObject_GetAttrString(o, "_d");
        value = d ? PyObject_GetAttrString(o, "value") : nullptr;
        if (!value) {
            Py_XDECREF(d);
            PyErr_Clear();
            return typeError("a union or (discriminator, value)", o, type);
        }
    }
    kcallValue discriminator{};
    bool ok = toValue(d, type->discriminator, &discriminator);
    const kcallField *active = ok ? unionCase(type, labelOf(discriminator)) : nullptr;
    if (ok) {
        kivResult rc = kcallValueSetItems(out, KIV_TYPE_UNION, active ? 2 : 1);
        ok = KIV_SUCCEEDED(rc);
        if (!ok) setCallError(rc, type->name);
    }
    if (ok) {
        out->v.items[0] = discriminator;
        discriminator = kcallValue{};
        if (active) ok = toValue(value, active->type, &out->v.items[1]);
    }
    kcallValueClear(&discriminator);
    Py_DECREF(d);
    Py_DECREF(value);
    return ok;
}

bool interfaceValue(PyObject *o, const kcallType *type, kcallValue *out) {
    const char *iid = type->repoId;
    if (o == Py_None) {
        out->kind = KIV_TYPE_INTERFACE;
        return true;
    }
    void *object = nullptr;
    if (isObject(o)) {
        auto *ref = reinterpret_cast<ObjectRef *>(o);
        if (implementsId(ref->iface, iid)) {
            kivResult rc = kcallValueSetRef(out, ref->object, iid);
            if (KIV_FAILED(rc)) return setCallError(rc, type->name), false;
            return true;
        }
        object = queryObject(ref->object, iid);
    } else if (isImplementation(o)) {
        object = implement(o, iid);
    } else {
        return typeError("a kiv object or None", o, type);
    }
    if (!object) return false;
    kivResult rc = kcallValueSetRef(out, object, iid);
    kivComRelease(object);
    if (KIV_FAILED(rc)) return setCallError(rc, type->name), false;
    return true;
}

bool toValue(PyObject *o, const kcallType *type, kcallValue *out) {
    int64_t i = 0;
    uint64_t u = 0;
    uint32_t code = 0;
    double x = 0;
    out->kind = type->kind;
    switch (type->kind) {
        case KIV_TYPE_BOOLEAN:
            if (!PyBool_Check(o)) return typeError("bool", o, type);
            out->v.boolean = o == Py_True;
            return true;
        case KIV_TYPE_OCTET:
            if (!unsignedValue(o, type, UINT8_MAX, &u)) return false;
            out->v.octet = static_cast<uint8_t>(u);
            return true;
        case KIV_TYPE_CHAR:
            if (!charValue(o, type, 0xFF, &code)) return false;
            out->v.ch = static_cast<char>(code);
            return true;
        case KIV_TYPE_WCHAR:
            if (!charValue(o, type, 0xFFFF, &code)) return false;
            out->v.wch = static_cast<kivWChar>(code);
            return true;
        case KIV_TYPE_SHORT:
            if (!signedValue(o, type, INT16_MIN, INT16_MAX, &i)) return false;
            out->v.i16 = static_cast<int16_t>(i);
            return true;
        case KIV_TYPE_USHORT:
            if (!unsignedValue(o, type, UINT16_MAX, &u)) return false;
            out->v.u16 = static_cast<uint16_t>(u);
            return true;
        case KIV_TYPE_LONG:
            if (!signedValue(o, type, INT32_MIN, INT32_MAX, &i)) return false;
            out->v.i32 = static_cast<int32_t>(i);
            return true;
        case KIV_TYPE_ULONG:
        case KIV_TYPE_ENUM:
            if (!unsignedValue(o, type, UINT32_MAX, &u)) return false;
            out->v.u32 = static_cast<uint32_t>(u);
            return true;
        case KIV_TYPE_LONGLONG:
            if (!signedValue(o, type, INT64_MIN, INT64_MAX, &i)) return false;
            out->v.i64 = i;
            return true;
        case KIV_TYPE_ULONGLONG:
            if (!unsignedValue(o, type, UINT64_MAX, &u)) return false;
            out->v.u64 = u;
            return true;
        case KIV_TYPE_FLOAT:
            if (!doubleValue(o, type, &x)) return false;
            if (std::isfinite(x) && std::fabs(x) > FLT_MAX) return rangeError(o, type);
            out->v.f32 = static_cast<float>(x);
            return true;
        case KIV_TYPE_DOUBLE:
            if (!doubleValue(o, type, &x)) return false;
            out->v.f64 = x;
            return true;
        case KIV_TYPE_STRING:
        case KIV_TYPE_WSTRING:
            return stringValue(o, type, out);
        case KIV_TYPE_STRUCT:
            return structValue(o, type, out);
        case KIV_TYPE_UNION:
            return unionValue(o, type, out);
        case KIV_TYPE_SEQUENCE:
        case KIV_TYPE_ARRAY:
            return itemsValue(o, type, out);
        case KIV_TYPE_INTERFACE:
            return interfaceValue(o, type, out);
        case KIV_TYPE_DECIMAL32:
            return decimalValue(o, type, 32, out);
        case KIV_TYPE_DECIMAL64:
            return decimalValue(o, type, 64, out);
        case KIV_TYPE_DECIMAL128:
            return decimalValue(o, type, 128, out);
        default:
            out->kind = 0;
            PyErr_Format(PyExc_TypeError, "type %s cannot be passed", type->name);
            return false;
    }
}

// ---- call values to Python values ------------------------------------------------------

std::unordered_map<const kcallType *, PyObject *> typeClasses;

// The generated class of a structure, union or enumeration (kept for the process's life).
PyObject *classFor(const kcallType *type) {
    auto found = typeClasses.find(type);
    if (found != typeClasses.end()) return found->second;
    PyObject *id = PyUnicode_FromString(type->repoId ? type->repoId : "");
    PyObject *cls = id ? callPackage("_type_class", id) : nullptr;
    Py_XDECREF(id);
    if (cls) typeClasses.emplace(type, cls);
    return cls;
}

PyObject *fromValue(const kcallValue &v, const kcallType *type);

PyObject *itemsObject(const kcallValue &v, const kcallType *type) {
    if (type->element->kind == KIV_TYPE_OCTET) {
        PyObject *bytes = PyBytes_FromStringAndSize(nullptr, v.count);
        if (!bytes) return nullptr;
        for (uint32_t i = 0; i < v.count; ++i)
            PyBytes_AS_STRING(bytes)[i] = static_cast<char>(v.v.items[i].v.octet);
        return bytes;
    }
    PyObject *list = PyList_New(v.count);
    for (uint32_t i = 0; list && i < v.count; ++i) {
        PyObject *item = fromValue(v.v.items[i], type->element);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

PyObject *structObject(const kcallValue &v, const kcallType *type) {
    PyObject *cls = classFor(type);
    if (!cls) return nullptr;
    PyObject *args = PyTuple_New(type->fieldCount);
    for (uint32_t i = 0; args && i < type->fieldCount && i < v.count; ++i) {
        PyObject *item = fromValue(v.v.items[i], type->fields[i].type);
        if (!item) {
            Py_DECREF(args);
            return nullptr;
        }
        PyTuple_SET_ITEM(args, i, item);
    }
    if (!args) return nullptr;
    PyObject *result = PyObject_Call(cls, args, nullptr);
    Py_DECREF(args);
    return result;
}

PyObject *unionObject(const kcallValue &v, const kcallType *type) {
    PyObject *cls = classFor(type);
    if (!cls || v.count < 1) return nullptr;
    PyObject *d = fromValue(v.v.items[0], type->discriminator);
    if (!d) return nullptr;
    PyObject *value = Py_None;
    Py_INCREF(value);
    if (v.count == 2) {
        const kcallField *active = unionCase(type, labelOf(v.v.items[0]));
        Py_DECREF(value);
        value = active ? fromValue(v.v.items[1], active->type) : nullptr;
        if (!value) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "union case not found");
            Py_DECREF(d);
            return nullptr;
        }
    }
    PyObject *result = PyObject_CallFunctionObjArgs(cls, d, value, nullptr);
    Py_DECREF(d);
    Py_DECREF(value);
    return result;
}

PyObject *enumObject(const kcallValue &v, const kcallType *type) {
    PyObject *cls = classFor(type);
    if (!cls) return nullptr;
    PyObject *result = PyObject_CallFunction(cls, "k", static_cast<unsigned long>(v.v.u32));
    if (!result && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();  // a value the enumeration does not list stays a plain int
        result = PyLong_FromUnsignedLong(v.v.u32);
    }
    return result;
}

PyObject *decimalObject(const kcallValue &v, int width) {
    PyObject *bits;
    if (width == 32) {
        bits = PyLong_FromUnsignedLong(v.v.d32.bits);
    } else if (width == 64) {
        bits = PyLong_FromUnsignedLongLong(v.v.d64.bits);
    } else {
        PyObject *high = PyLong_FromUnsignedLongLong(v.v.d128.words[1]);
        PyObject *shift = PyLong_FromLong(64);
        PyObject *shifted = high && shift ? PyNumber_Lshift(high, shift) : nullptr;
        PyObject *low = PyLong_FromUnsignedLongLong(v.v.d128.words[0]);
        bits = shifted && low ? PyNumber_Or(shifted, low) : nullptr;
        Py_XDECREF(high);
        Py_XDECREF(shift);
        Py_XDECREF(shifted);
        Py_XDECREF(low);
    }
    if (!bits) return nullptr;
    PyObject *w = PyLong_FromLong(width);
    PyObject *result = callPackage("_decimal_value", bits, w);
    Py_DECREF(bits);
    Py_XDECREF(w);
    return result;
}

PyObject *interfaceObject(const kcallValue &v, const kcallType *type) {
    void *object = v.v.ref.object;
    if (!object) Py_RETURN_NONE;
    if (PyObject *instance = instanceOf(object)) {
        Py_INCREF(instance);
        return instance;
    }
    kivComAddRef(object);
    if (type->iface) return wrapObject(object, type->iface);
    return wrapWithId(object, v.v.ref.iid ? v.v.ref.iid : type->repoId);
}

PyObject *fromValue(const kcallValue &v, const kcallType *type) {
    switch (type->kind) {
        case KIV_TYPE_VOID:
            Py_RETURN_NONE;
        case KIV_TYPE_BOOLEAN:
            return PyBool_FromLong(v.v.boolean);
        case KIV_TYPE_OCTET:
            return PyLong_FromLong(v.v.octet);
        case KIV_TYPE_CHAR:
            return PyUnicode_FromOrdinal(static_cast<uint8_t>(v.v.ch));
        case KIV_TYPE_WCHAR:
            return PyUnicode_FromOrdinal(v.v.wch);
        case KIV_TYPE_SHORT:
            return PyLong_FromLong(v.v.i16);
        case KIV_TYPE_USHORT:
            return PyLong_FromLong(v.v.u16);
        case KIV_TYPE_LONG:
            return PyLong_FromLong(v.v.i32);
        case KIV_TYPE_ULONG:
            return PyLong_FromUnsignedLong(v.v.u32);
        case KIV_TYPE_LONGLONG:
            return PyLong_FromLongLong(v.v.i64);
        case KIV_TYPE_ULONGLONG:
            return PyLong_FromUnsignedLongLong(v.v.u64);
        case KIV_TYPE_FLOAT:
            return PyFloat_FromDouble(v.v.f32);
        case KIV_TYPE_DOUBLE:
            return PyFloat_FromDouble(v.v.f64);
        case KIV_TYPE_STRING:
            return PyUnicode_DecodeUTF8(v.v.str ? v.v.str : "", v.v.str ? v.count : 0,
                                        "surrogateescape");
        case KIV_TYPE_WSTRING: {
            int order = -1;  // little-endian code units
            return PyUnicode_DecodeUTF16(reinterpret_cast<const char *>(v.v.wstr),
                                         v.v.wstr ? 2 * Py_ssize_t(v.count) : 0, "surrogatepass",
                                         &order);
        }
        case KIV_TYPE_ENUM:
            return enumObject(v, type);
        case KIV_TYPE_STRUCT:
            return structObject(v, type);
        case KIV_TYPE_UNION:
            return unionObject(v, type);
        case KIV_TYPE_SEQUENCE:
        case KIV_TYPE_ARRAY:
            return itemsObject(v, type);
        case KIV_TYPE_INTERFACE:
            return interfaceObject(v, type);
        case KIV_TYPE_DECIMAL32:
            return decimalObject(v, 32);
        case KIV_TYPE_DECIMAL64:
            return decimalObject(v, 64);
        case KIV_TYPE_DECIMAL128:
            return decimalObject(v, 128);
        default:
            PyErr_Format(PyExc_TypeError, "type %s cannot be returned", type->name);
            return nullptr;
    }
}

// ---- Method objects ------------------------------------------------------------------

// A member whose arguments and result are all numbers, characters or booleans is called
// straight through its table slot with a call interface prepared once: such values need no
// allocation, so the general call values and their checks are not needed.
struct DirectCall {
    static constexpr uint32_t kMaxArguments = 16;
    ffi_cif cif;
    ffi_type *types[kMaxArguments + 2];
};

struct MethodObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const kcallMethod *method;
    Py_ssize_t inCount;  // Python arguments after self
    PyObject *name;
    PyObject *doc;
    PyObject *signature;
    PyObject *qualname;
    DirectCall *direct;  // null: through kcallInvoke
};

const kcallType *argumentType(const kcallMethod *m, uint32_t i) {
    return m->access == KCALL_SET ? m->member->type : m->member->params[i].type;
}

uint32_t argumentDirection(const kcallMethod *m, uint32_t i) {
    return m->access == KCALL_SET ? KIV_PARAM_IN : m->member->params[i].direction;
}

// Result first (when there is one), then out and inout values: nothing is None, one value
// is itself, more are a tuple.
PyObject *outputs(const kcallMethod *m, Values &args, const kcallValue &result) {
    PyObject *items[256];
    Py_ssize_t n = 0;
    bool ok = true;
    if (m->resultType && m->resultType->kind != KIV_TYPE_VOID) {
        items[n] = fromValue(result, m->resultType);
        ok = items[n++] != nullptr;
    }
    for (uint32_t i = 0; ok && i < m->argCount; ++i) {
        if (argumentDirection(m, i) == KIV_PARAM_IN) continue;
        items[n] = fromValue(args[i], argumentType(m, i));
        ok = items[n++] != nullptr;
    }
    if (!ok) {
        for (Py_ssize_t i = 0; i < n; ++i) Py_XDECREF(items[i]);
        return nullptr;
    }
    if (n == 0) Py_RETURN_NONE;
    if (n == 1) return items[0];
    PyObject *tuple = PyTuple_New(n);
    for (Py_ssize_t i = 0; tuple && i < n; ++i) PyTuple_SET_ITEM(tuple, i, items[i]);
    return tuple;
}

ffi_type *directType(const kcallType *type) {
    const uint32_t kind = type ? type->kind : 0;
    // Enumerations and decimals take the general path, which checks enumerators and digits.
    if (kind == KIV_TYPE_ENUM || kind >= KIV_TYPE_DECIMAL32) return nullptr;
    return kcall::scalarFfiType(kind);
}

// The direct call of a member with only in arguments and a result of the kinds directType maps;
// null when the member needs the general path.
DirectCall *prepareDirect(const kcallMethod *m) {
    if (m->argCount > DirectCall::kMaxArguments) return nullptr;
    bool hasResult = m->resultType && m->resultType->kind != KIV_TYPE_VOID;
    if (hasResult && !directType(m->resultType)) return nullptr;
    auto direct = std::make_unique<DirectCall>();
    unsigned n = 0;
    direct->types[n++] = &ffi_type_pointer;  // self
    for (uint32_t i = 0; i < m->argCount; ++i) {
        ffi_type *type = directType(argumentType(m, i));
        if (!type || argumentDirection(m, i) != KIV_PARAM_IN) return nullptr;
        direct->types[n++] = type;
    }
    if (hasResult) direct->types[n++] = &ffi_type_pointer;
    if (ffi_prep_cif(&direct->cif, FFI_DEFAULT_ABI, n, &ffi_type_uint32, direct->types) != FFI_OK)
        return nullptr;
    return direct.release();
}

PyObject *invokeDirect(MethodObject *self, ObjectRef *target, PyObject *const *argv) {
    const kcallMethod *m = self->method;
    kcallValue values[DirectCall::kMaxArguments];
    void *pointers[DirectCall::kMaxArguments + 2];
    void *object = target->object;
    unsigned n = 0;
    pointers[n++] = &object;
    for (uint32_t i = 0; i < m->argCount; ++i) {
        if (!toValue(argv[i], argumentType(m, i), &values[i])) return nullptr;
        pointers[n++] = &values[i].v;  // every scalar member of the union starts at its start
    }
    kcallValue result{};
    void *resultPointer = &result.v;
    bool hasResult = m->resultType && m->resultType->kind != KIV_TYPE_VOID;
    if (hasResult) pointers[n++] = &resultPointer;
    auto slots = *static_cast<void (***)()>(object);
    ffi_arg rc = 0;
    Py_BEGIN_ALLOW_THREADS ffi_call(&self->direct->cif, slots[m->slot], &rc, pointers);
    Py_END_ALLOW_THREADS if (KIV_FAILED(static_cast<kivResult>(rc))) {
        setCallError(static_cast<kivResult>(rc), m->slotName);
        return nullptr;
    }
    if (!hasResult) Py_RETURN_NONE;
    result.kind = m->resultType->kind;
    return fromValue(result, m->resultType);
}

PyObject *invoke(PyObject *callable, PyObject *const *argv, size_t nargsf, PyObject *kwnames) {
    auto *self = reinterpret_cast<MethodObject *>(callable);
    const kcallMethod *m = self->method;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%U() takes no keyword arguments", self->name);
        return nullptr;
    }
    if (nargs < 1 || !isObject(argv[0])) {
        PyErr_Format(PyExc_TypeError, "%U() needs a kiv object as its first argument", self->name);
        return nullptr;
    }
    if (nargs - 1 != self->inCount) {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd arguments (%zd given)", self->name,
                     self->inCount, nargs - 1);
        return nullptr;
    }
    auto *target = reinterpret_cast<ObjectRef *>(argv[0]);
    if (self->direct) return invokeDirect(self, target, argv + 1);
    Values args(m->argCount);
    Py_ssize_t next = 1;
    for (uint32_t i = 0; i < m->argCount; ++i) {
        if (argumentDirection(m, i) == KIV_PARAM_OUT) continue;
        if (!toValue(argv[next++], argumentType(m, i), &args[i])) return nullptr;
    }
    kcallValue result{};
    kivResult rc;
    Py_BEGIN_ALLOW_THREADS rc = kcallInvoke(m, target->object, args.data(), m->argCount, &result);
    Py_END_ALLOW_THREADS if (KIV_FAILED(rc)) {
        kcallValueClear(&result);
        setCallError(rc, m->slotName);
        return nullptr;
    }
    PyObject *out = outputs(m, args, result);
    kcallValueClear(&result);
    return out;
}

PyObject *methodGet(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

void methodDealloc(PyObject *self) {
    auto *m = reinterpret_cast<MethodObject *>(self);
    Py_XDECREF(m->name);
    Py_XDECREF(m->doc);
    Py_XDECREF(m->signature);
    Py_XDECREF(m->qualname);
    delete m->direct;
    Py_TYPE(self)->tp_free(self);
}

PyMemberDef methodMembers[] = {
    {"__name__", T_OBJECT, offsetof(MethodObject, name), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), 0, nullptr},
    {"__signature__", T_OBJECT, offsetof(MethodObject, signature), 0, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyTypeObject MethodType = [] {
    PyTypeObject t = emptyType();
    t.tp_name = "kiv._kiv.Method";
    t.tp_basicsize = sizeof(MethodObject);
    t.tp_dealloc = methodDealloc;
    t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_descr_get = methodGet;
    t.tp_members = methodMembers;
    t.tp_doc = "A member of a kiv interface, called through its type information.";
    return t;
}();

// ---- the handler of Python implementations ----------------------------------------------

// Stores one handler output into a value of its type.
bool storeOutput(PyObject *o, const kcallType *type, kcallValue *out) {
    kcallValueClear(out);
    return toValue(o, type, out);
}

kivResult distribute(PyObject *ret, const kcallMethod *m, kcallValue *args, kcallValue *result) {
    std::vector<std::pair<const kcallType *, kcallValue *>> slots;
    if (m->resultType && m->resultType->kind != KIV_TYPE_VOID)
        slots.push_back({m->resultType, result});
    for (uint32_t i = 0; m->access == KCALL_OPERATION && i < m->argCount; ++i)
        if (argumentDirection(m, i) != KIV_PARAM_IN)
            slots.push_back({argumentType(m, i), &args[i]});
    if (slots.empty()) return KIV_S_OK;
    if (slots.size() == 1)
        return storeOutput(ret, slots[0].first, slots[0].second) ? 0 : KIV_E_FAIL;
    if (!PyTuple_Check(ret) || PyTuple_GET_SIZE(ret) != static_cast<Py_ssize_t>(slots.size())) {
        PyErr_Format(PyExc_TypeError, "%s must return a tuple of %zu values", m->slotName,
                     slots.size());
        return KIV_E_FAIL;
    }
    for (size_t i = 0; i < slots.size(); ++i)
        if (!storeOutput(PyTuple_GET_ITEM(ret, i), slots[i].first, slots[i].second))
            return KIV_E_FAIL;
    return KIV_S_OK;
}

PyObject *callImplementation(PyObject *instance, const kcallMethod *m, kcallValue *args) {
    const char *name = m->member->name;
    if (m->access == KCALL_GET) return PyObject_GetAttrString(instance, name);
    if (m->access == KCALL_SET) {
        PyObject *value = fromValue(args[0], m->member->type);
        if (!value) return nullptr;
        int rc = PyObject_SetAttrString(instance, name, value);
        Py_DECREF(value);
        if (rc < 0) return nullptr;
        Py_RETURN_NONE;
    }
    PyObject *callable = PyObject_GetAttrString(instance, name);
    if (!callable) return nullptr;
    std::vector<PyObject *> pyArgs;
    bool ok = true;
    for (uint32_t i = 0; ok && i < m->argCount; ++i) {
        if (argumentDirection(m, i) == KIV_PARAM_OUT) continue;
        PyObject *arg = fromValue(args[i], argumentType(m, i));
        ok = arg != nullptr;
        if (ok) pyArgs.push_back(arg);
    }
    PyObject *ret =
        ok ? PyObject_Vectorcall(callable, pyArgs.data(), pyArgs.size(), nullptr) : nullptr;
    for (PyObject *arg : pyArgs) Py_DECREF(arg);
    Py_DECREF(callable);
    return ret;
}

// A failed Python implementation: kiv.objects._implementation_failed logs the exception,
// keeps it on the instance and gives the code for the caller.
kivResult failure(PyObject *instance, const kcallMethod *m) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    kivResult code = KIV_E_FAIL;
    PyObject *name = PyUnicode_FromString(m->slotName);
    PyObject *args = value && name ? PyTuple_Pack(3, instance, name, value) : nullptr;
    PyObject *module = package();
    PyObject *handler = module ? PyObject_GetAttrString(module, "_implementation_failed") : nullptr;
    PyObject *result = handler && args ? PyObject_Call(handler, args, nullptr) : nullptr;
    if (result && PyLong_Check(result))
        code = static_cast<kivResult>(PyLong_AsUnsignedLongMask(result));
    if (!result) PyErr_WriteUnraisable(handler);
    PyErr_Clear();
    Py_XDECREF(result);
    Py_XDECREF(handler);
    Py_XDECREF(args);
    Py_XDECREF(name);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return KIV_FAILED(code) ? code : KIV_E_FAIL;
}

kivResult handleCall(void *context, const kcallMethod *method, kcallValue *args,
                     kcallValue *result) {
    auto *impl = static_cast<Implementation *>(context);
    if (!Py_IsInitialized()) return KIV_E_UNEXPECTED;
    PyGILState_STATE gil = PyGILState_Ensure();
    kivResult code = KIV_S_OK;
    PyObject *ret = callImplementation(impl->instance, method, args);
    if (ret) {
        code = distribute(ret, method, args, result);
        Py_DECREF(ret);
    }
    if (!ret || PyErr_Occurred()) code = failure(impl->instance, method);
    PyGILState_Release(gil);
    return code;
}

// ---- module functions --------------------------------------------------------------------

PyObject *makeMethod(const kcallMethod *m) {
    auto *self = PyObject_New(MethodObject, &MethodType);
    if (!self) return nullptr;
    self->vectorcall = invoke;
    self->method = m;
    self->inCount = 0;
    for (uint32_t i = 0; i < m->argCount; ++i)
        if (argumentDirection(m, i) != KIV_PARAM_OUT) ++self->inCount;
    self->name = PyUnicode_FromString(m->slotName);
    self->qualname = Py_NewRef(self->name);
    self->doc = Py_NewRef(Py_None);
    self->signature = Py_NewRef(Py_None);
    self->direct = prepareDirect(m);
    return reinterpret_cast<PyObject *>(self);
}

py::object typeInfo(const kcallType *type);

py::object text(const char *s) {
    return s ? py::object(py::str(s)) : py::object(py::none());
}

py::dict memberInfo(const kcallMember &member) {
    py::dict d;
    d["name"] = text(member.name);
    d["kind"] = member.kind;
    d["flags"] = member.flags;
    d["declared_in"] = text(member.declaredIn);
    d["type"] = typeInfo(member.type);
    py::list params;
    for (uint32_t i = 0; i < member.paramCount; ++i)
        params.append(py::make_tuple(text(member.params[i].name), typeInfo(member.params[i].type),
                                     member.params[i].direction));
    d["params"] = params;
    char *text = nullptr;
    if (KIV_SUCCEEDED(kcallMemberFormat(&member, &text)) && text) {
        d["idl"] = text;
        kivFree(text);
    }
    return d;
}

// A short description of a type for the Python side: kind, repository id and IDL name; the
// fields of structures, unions and enumerations one level deep.
py::object typeInfo(const kcallType *type) {
    if (!type) return py::none();
    py::dict d;
    d["kind"] = type->kind;
    d["repo_id"] = text(type->repoId);
    d["name"] = type->name ? type->name : "";
    d["bound"] = type->bound;
    if (type->element) d["element"] = typeInfo(type->element);
    if (type->kind == KIV_TYPE_STRUCT || type->kind == KIV_TYPE_UNION ||
        type->kind == KIV_TYPE_ENUM) {
        py::list fields;
        for (uint32_t i = 0; i < type->fieldCount; ++i) {
            const kcallField &f = type->fields[i];
            py::dict field;
            field["name"] = text(f.name);
            field["type"] = f.type ? py::object(py::str(f.type->name)) : py::object(py::none());
            field["kind"] = f.type ? f.type->kind : 0;
            field["repo_id"] = f.type && f.type->repoId ? py::object(py::str(f.type->repoId))
                                                        : py::object(py::none());
            field["label"] = f.label;
            field["default"] = f.isDefault != 0;
            fields.append(field);
        }
        d["fields"] = fields;
    }
    if (type->discriminator) d["discriminator"] = typeInfo(type->discriminator);
    return d;
}

const kcallInterface *describedInterface(const std::string &iid) {
    const kcallInterface *iface = nullptr;
    kivResult rc = iid == KIV_IID_IUNKNOWN ? KIV_E_BAD_KIND : heldInterface(iid.c_str(), &iface);
    if (KIV_FAILED(rc)) {
        setCallError(rc, ("type information of " + iid).c_str());
        throw py::error_already_set();
    }
    return iface;
}

py::dict interfaceInfo(const std::string &iid) {
    const kcallInterface *iface = describedInterface(iid);
    py::dict d;
    d["iid"] = text(iface->iid);
    d["name"] = text(iface->name ? iface->name : iface->iid);
    d["base"] = iface->base ? py::object(py::str(iface->base->iid)) : py::object(py::none());
    py::list members;
    for (uint32_t i = 0; i < iface->memberCount; ++i) members.append(memberInfo(iface->members[i]));
    d["members"] = members;
    d["library"] = text(iface->library);
    return d;
}

py::object typeInfoById(const std::string &repoId) {
    const kcallType *type = nullptr;
    kivResult rc = kcallFindType(repoId.c_str(), &type);
    if (KIV_FAILED(rc)) {
        setCallError(rc, ("type information of " + repoId).c_str());
        throw py::error_already_set();
    }
    return typeInfo(type);
}

py::object method(const std::string &iid, const std::string &name, uint32_t access) {
    const kcallMethod *m = nullptr;
    const kcallInterface *iface = nullptr;
    // Prepared from the held version, which outlives the method object.
    kivResult rc = heldInterface(iid.c_str(), &iface);
    if (KIV_SUCCEEDED(rc)) {
        const kcallMember *member = kcallFindMember(iface, name.c_str());
        rc = member ? kcallPrepareMember(iface, member, access, &m) : KCALL_E_NO_MEMBER;
    }
    if (KIV_FAILED(rc)) {
        setCallError(rc, (iid + " " + name).c_str());
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(makeMethod(m));
}

py::object steal(PyObject *o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

py::object create(const std::string &clsid, const py::object &iidArg) {
    std::string iid = iidArg.is_none() ? std::string(KIV_IID_IUNKNOWN) : iidArg.cast<std::string>();
    void *out = nullptr;
    kivResult rc;
    {
        py::gil_scoped_release unlocked;
        rc = kivCreateInstance(clsid.c_str(), nullptr, KIV_CLSCTX_INPROC, nullptr, iid.c_str(),
                               &out);
    }
    check(rc, "creating " + clsid);
    if (iidArg.is_none()) {
        // The table handed out for IUnknown is the class's own interface: type the proxy so.
        const char *own = static_cast<IUnknown *>(out)->vtbl->interfaceId(out);
        const kcallInterface *iface = nullptr;
        if (own && KIV_SUCCEEDED(findInterface(own, &iface))) return steal(wrapObject(out, iface));
    }
    return steal(wrapWithId(out, iid.c_str()));
}

// The Python instance as a kiv object typed as `iid` (default: its first interface).
py::object wrap(const py::object &instance, const py::object &iidArg) {
    std::string iid = iidArg.is_none() ? std::string() : iidArg.cast<std::string>();
    void *object = implement(instance.ptr(), iid.empty() ? nullptr : iid.c_str());
    if (!object) throw py::error_already_set();
    const char *own = static_cast<IUnknown *>(object)->vtbl->interfaceId(object);
    return steal(wrapWithId(object, own));
}

py::object fromAddress(uintptr_t address, const std::string &iid, bool addRef) {
    if (!address) return py::none();
    void *object = reinterpret_cast<void *>(address);
    if (addRef) kivComAddRef(object);
    return steal(wrapWithId(object, iid.c_str()));
}

void registerLibrary(const std::string &path, uint32_t flags) {
    kivResult rc = kcallRegisterLibrary(path.c_str(), flags);
    if (KIV_FAILED(rc)) {
        setCallError(rc, ("registering " + path).c_str());
        throw py::error_already_set();
    }
}

}  // namespace

void bindObjects(py::module_ &m) {
    if (PyType_Ready(&ObjectType) < 0 || PyType_Ready(&MethodType) < 0)
        throw py::error_already_set();
    Py_INCREF(&ObjectType);
    m.add_object("Object", reinterpret_cast<PyObject *>(&ObjectType));
    Py_INCREF(&MethodType);
    m.add_object("Method", reinterpret_cast<PyObject *>(&MethodType));
    m.def("interface_info", interfaceInfo);
    m.def("type_info", typeInfoById);
    m.def("method", method);
    m.def("create", create);
    m.def("wrap", wrap);
    m.def("from_address", fromAddress);
    m.def("register_library", registerLibrary);
    m.attr("OPERATION") = KCALL_OPERATION;
    m.attr("GET") = KCALL_GET;
    m.attr("SET") = KCALL_SET;
}

const char *callErrorText(kivResult code) {
    return kcallStrError(code);
}

}  // namespace kivpy
