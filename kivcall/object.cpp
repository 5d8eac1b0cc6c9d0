// SPDX-License-Identifier: Apache-2.0
// Dynamic objects: every member slot is a libffi closure that turns the native arguments into
// values and calls the object's handler. Tables and closures are made once per interface and
// shared by all objects, which find their handler through the `self` pointer. They belong to
// the interface's library version, which every object made with them keeps alive.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "invoke.h"
#include "native.h"

namespace kcall {

namespace {

struct Object;

// What an interface pointer of a dynamic object points to.
struct Head {
    const void *const *table;
    Object *owner;
    const Interface *iface;
};

struct Object {
    std::atomic<uint32_t> references{1};
    kcallHandler handler = nullptr;
    void *context = nullptr;
    kcallContextRelease releaseContext = nullptr;
    uint32_t headCount = 0;
    std::unique_ptr<Head[]> heads;
    std::vector<ModelPin> models;  // released after the context, with the object
};

Head *headOf(void *self) {
    return static_cast<Head *>(self);
}

bool implements(const Interface *iface, const char *iid) {
    for (const kcallInterface *at = iface; at; at = at->base)
        if (std::strcmp(at->iid, iid) == 0) return true;
    return false;
}

kivResult objectQueryInterface(void *self, const char *iid, void **out) {
    if (!out) return KIV_E_INVALIDARG;
    *out = nullptr;
    if (!iid) return KIV_E_INVALIDARG;
    Object *object = headOf(self)->owner;
    Head *found = nullptr;
    if (std::strcmp(iid, KIV_IID_IUNKNOWN) == 0) found = &object->heads[0];
    for (uint32_t i = 0; i < object->headCount && !found; ++i)
        if (implements(object->heads[i].iface, iid)) found = &object->heads[i];
    if (!found) return KIV_E_NOINTERFACE;
    object->references.fetch_add(1, std::memory_order_relaxed);
    *out = found;
    return 0;
}

uint32_t objectAddRef(void *self) {
    return headOf(self)->owner->references.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t objectRelease(void *self) {
    Object *object = headOf(self)->owner;
    const uint32_t left = object->references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        if (object->releaseContext) object->releaseContext(object->context);
        delete object;
    }
    return left;
}

const char *objectInterfaceId(void *self) {
    return headOf(self)->iface->iid;
}

// Zeroes what the native caller passed for out values and the result, as a failed call leaves
// them.
void clearOutputs(const Method &m, void **args) {
    for (uint32_t i = 0; i < m.argCount; ++i)
        if (m.directions[i] == KIV_PARAM_OUT)
            std::memset(*static_cast<void **>(args[i + 1]), 0, m.types[i]->size);
    if (m.resultType)
        std::memset(*static_cast<void **>(args[m.argCount + 1]), 0, m.resultType->size);
}

// Native arguments of a call into values: in and inout converted, out left empty.
kivResult valuesOf(const Method &m, void **args, kcallValue *values) {
    for (uint32_t i = 0; i < m.argCount; ++i) {
        const Type *type = m.types[i];
        const void *native = args[i + 1];
        if (m.directions[i] == KIV_PARAM_OUT) continue;
        const bool byPointer = m.directions[i] == KIV_PARAM_INOUT ||
                               type->kind == KIV_TYPE_STRUCT || type->kind == KIV_TYPE_UNION ||
                               type->kind == KIV_TYPE_SEQUENCE || type->kind == KIV_TYPE_ARRAY;
        if (byPointer) native = *static_cast<void *const *>(native);
        if (!native) return fail(KIV_E_POINTER, "a null argument");
        kivResult rc = fromNative(type, native, values[i]);
        if (KIV_FAILED(rc)) return rc;
    }
    return 0;
}

constexpr uint32_t kInlineOutputs = 16;

// The handler's out, inout and result values into the caller's storage: all converted first,
// so that a value that does not fit leaves the caller's storage as it was.
kivResult storeOutputs(const Method &m, void **args, kcallValue *values, kcallValue &result) {
    const uint32_t n = m.argCount;
    Arena arena;
    void *inlineConverted[kInlineOutputs] = {};
    std::vector<void *> heapConverted;
    void **converted = inlineConverted;
    if (n + 1 > kInlineOutputs) {
        heapConverted.assign(n + 1, nullptr);
        converted = heapConverted.data();
    }
    auto convert = [&](const Type *type, const kcallValue &value, uint32_t at) {
        converted[at] = arena.allocate(type->size, 16);
        kivResult rc = toNative(type, value, converted[at], Mode::own, &arena);
        if (KIV_FAILED(rc)) converted[at] = nullptr;
        return rc;
    };
    kivResult rc = 0;
    for (uint32_t i = 0; i < n && KIV_SUCCEEDED(rc); ++i)
        if (m.directions[i] != KIV_PARAM_IN) rc = convert(m.types[i], values[i], i);
    if (KIV_SUCCEEDED(rc) && m.resultType) rc = convert(asType(m.resultType), result, n);
    if (KIV_FAILED(rc)) {
        for (uint32_t i = 0; i <= n; ++i)
            if (converted[i]) freeNative(i < n ? m.types[i] : asType(m.resultType), converted[i]);
        return rc;
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (!converted[i]) continue;
        void *target = *static_cast<void **>(args[i + 1]);
        if (m.directions[i] == KIV_PARAM_INOUT) freeNative(m.types[i], target);
        std::memcpy(target, converted[i], m.types[i]->size);
    }
    if (m.resultType)
        std::memcpy(*static_cast<void **>(args[n + 1]), converted[n], m.resultType->size);
    return 0;
}

constexpr uint32_t kInlineValues = 8;

// Numbers in, a number or nothing out: no scratch memory and no output staging.
kivResult dispatchNumbers(const Method &m, Object *object, void **args) {
    kcallValue values[kInlineValues] = {};
    for (uint32_t i = 0; i < m.argCount; ++i) {
        values[i].kind = m.types[i]->kind;
        std::memcpy(&values[i].v, args[i + 1], m.types[i]->size);
    }
    kcallValue result{};
    void *target = m.resultType ? *static_cast<void **>(args[m.argCount + 1]) : nullptr;
    kivResult rc = m.resultType && !target ? fail(KIV_E_POINTER, "a null result pointer") : 0;
    if (KIV_SUCCEEDED(rc))
        rc = object->handler(object->context, &m, values, m.resultType ? &result : nullptr);
    if (KIV_SUCCEEDED(rc) && target) {
        rc = toNative(asType(m.resultType), result, target, Mode::own, nullptr);
        if (KIV_FAILED(rc)) std::memset(target, 0, m.resultType->size);
    } else if (target) {
        std::memset(target, 0, m.resultType->size);
    }
    for (uint32_t i = 0; i < m.argCount; ++i) kcallValueClear(&values[i]);
    kcallValueClear(&result);
    return rc;
}

void dispatch(ffi_cif *, void *ret, void **args, void *data) {
    const Method &m = *static_cast<const Method *>(data);
    Object *object = headOf(*static_cast<void **>(args[0]))->owner;
    if (m.simple && m.argCount <= kInlineValues) {
        *static_cast<ffi_arg *>(ret) = dispatchNumbers(m, object, args);
        return;
    }
    kcallValue inlineValues[kInlineValues] = {};
    std::vector<kcallValue> heapValues;
    kcallValue *values = inlineValues;
    if (m.argCount > kInlineValues) {
        heapValues.resize(m.argCount);
        values = heapValues.data();
    }
    kcallValue result{};
    kivResult rc = valuesOf(m, args, values);
    if (KIV_SUCCEEDED(rc)) {
        for (uint32_t i = 0; i < m.argCount; ++i)
            if (m.directions[i] == KIV_PARAM_OUT && !*static_cast<void **>(args[i + 1]))
                rc = fail(KIV_E_POINTER, "a null out argument");
        if (m.resultType && !*static_cast<void **>(args[m.argCount + 1]))
            rc = fail(KIV_E_POINTER, "a null result pointer");
    }
    if (KIV_SUCCEEDED(rc)) {
        clearOutputs(m, args);
        rc = object->handler(object->context, &m, values, m.resultType ? &result : nullptr);
        if (KIV_SUCCEEDED(rc)) rc = storeOutputs(m, args, values, result);
    }
    for (uint32_t i = 0; i < m.argCount; ++i) kcallValueClear(&values[i]);
    kcallValueClear(&result);
    *static_cast<ffi_arg *>(ret) = rc;
}

// The function table of an interface for dynamic objects, made on first use.
kivResult tableOf(const Interface &iface, const void *const *&out) {
    auto &mutableIface = const_cast<Interface &>(iface);
    std::vector<const Method *> methods;
    for (uint32_t i = 0; i < iface.memberCount; ++i) {
        const kcallMember &member = iface.members[i];
        const bool attribute = member.kind == KIV_MEMBER_ATTRIBUTE;
        const Method *m = nullptr;
        kivResult rc = prepareMethod(iface, member, attribute ? KCALL_GET : KCALL_OPERATION, m);
        if (KIV_FAILED(rc)) return rc;
        methods.push_back(m);
        if (attribute && !(member.flags & KIV_MEMBER_READONLY)) {
            if (KIV_FAILED(rc = prepareMethod(iface, member, KCALL_SET, m))) return rc;
            methods.push_back(m);
        }
    }
    std::lock_guard lock(mutableIface.mutex);
    if (mutableIface.table.empty()) {
        std::vector<void *> table(iface.slotCount, nullptr);
        table[0] = reinterpret_cast<void *>(&kivComQueryInterface);
        table[1] = reinterpret_cast<void *>(&kivComAddRef);
        table[2] = reinterpret_cast<void *>(&kivComRelease);
        table[3] = reinterpret_cast<void *>(&objectQueryInterface);
        table[4] = reinterpret_cast<void *>(&objectAddRef);
        table[5] = reinterpret_cast<void *>(&objectRelease);
        table[6] = reinterpret_cast<void *>(&objectInterfaceId);
        std::vector<Closure> closures;  // the interface's only once the table is complete
        for (const Method *m : methods) {
            void *code = nullptr;
            Closure closure(
                static_cast<ffi_closure *>(ffi_closure_alloc(sizeof(ffi_closure), &code)));
            if (!closure) return fail(KIV_E_OUT_OF_MEMORY, "no memory for a closure");
            if (ffi_prep_closure_loc(closure.get(), const_cast<ffi_cif *>(&m->cif), dispatch,
                                     const_cast<Method *>(m), code) != FFI_OK)
                return fail(KCALL_E_LAYOUT,
                            std::string("cannot make a closure for ") + m->slotName);
            closures.push_back(std::move(closure));
            if (m->slot < table.size()) table[m->slot] = code;
        }
        mutableIface.table = std::move(table);
        mutableIface.closures = std::move(closures);
    }
    out = mutableIface.table.data();
    return 0;
}

}  // namespace

}  // namespace kcall

using namespace kcall;

KIV_API kivResult kcallObjectCreate(const char *const *iids, uint32_t iidCount,
                                    kcallHandler handler, void *context,
                                    kcallContextRelease releaseContext, const char *iid,
                                    void **out) noexcept {
    if (!out) return fail(KIV_E_INVALIDARG, "a null out pointer");
    *out = nullptr;
    if (!iids || iidCount == 0 || !handler)
        return fail(KIV_E_INVALIDARG, "no interfaces or handler");
    auto object = std::make_unique<Object>();
    object->heads = std::make_unique<Head[]>(iidCount);
    for (uint32_t i = 0; i < iidCount; ++i) {
        if (!iids[i]) return fail(KIV_E_INVALIDARG, "a null interface id");
        const Interface *iface = nullptr;
        ModelPin pin;
        kivResult rc = findInterface(iids[i], &iface, &pin);
        if (KIV_SUCCEEDED(rc)) rc = tableOf(*iface, object->heads[i].table);
        if (KIV_FAILED(rc)) return rc;
        object->heads[i].owner = object.get();
        object->heads[i].iface = iface;
        if (pin &&
            std::find(object->models.begin(), object->models.end(), pin) == object->models.end())
            object->models.push_back(std::move(pin));
    }
    object->headCount = iidCount;
    object->handler = handler;
    object->context = context;
    object->releaseContext = releaseContext;
    Head *first = &object->heads[0];
    if (!iid) {
        *out = first;
        object.release();
        return 0;
    }
    void *asked = nullptr;
    kivResult rc = objectQueryInterface(first, iid, &asked);
    if (KIV_FAILED(rc)) return fail(rc, std::string("the object does not implement ") + iid);
    object->references.fetch_sub(1, std::memory_order_relaxed);  // the query's reference is ours
    object.release();
    *out = asked;
    return 0;
}

KIV_API void *kcallObjectContext(void *object) noexcept {
    if (!object) return nullptr;
    auto *unknown = static_cast<IUnknown *>(object);
    if (unknown->vtbl->queryInterface != &objectQueryInterface) return nullptr;
    return headOf(object)->owner->context;
}
