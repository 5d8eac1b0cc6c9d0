// SPDX-License-Identifier: Apache-2.0
// Prepared calls: a libffi call interface per (interface, member, access), and the call itself
// with the conversion of arguments and results.
#include <array>
#include <cstring>
#include <string>

#include "invoke.h"
#include "native.h"

namespace kcall {

namespace {

std::string slotNameOf(const kcallMember &m, uint32_t access) {
    if (access == KCALL_GET) return std::string("get_") + m.name;
    if (access == KCALL_SET) return std::string("set_") + m.name;
    return m.name;
}

kivResult buildMethod(const Interface &iface, const kcallMember &member, uint32_t access,
                      Method &m) {
    m.iface = &iface;
    m.member = &member;
    m.access = access;
    m.slot = member.slot + (access == KCALL_SET ? 1 : 0);
    // The method's own copy: the model's strings belong to the catalog's lock.
    m.slotNameText = slotNameOf(member, access);
    m.slotName = m.slotNameText.c_str();
    m.argTypes.push_back(&ffi_type_pointer);
    auto add = [&](const kcallType *type, uint32_t direction) {
        m.types.push_back(asType(type));
        m.directions.push_back(direction);
        ffi_type *byValue = direction == KIV_PARAM_IN ? scalarFfiType(type->kind) : nullptr;
        m.argTypes.push_back(byValue ? byValue : &ffi_type_pointer);
    };
    if (access == KCALL_OPERATION) {
        for (uint32_t i = 0; i < member.paramCount; ++i)
            add(member.params[i].type, member.params[i].direction);
        if (member.type->kind != KIV_TYPE_VOID) m.resultType = member.type;
    } else if (access == KCALL_GET) {
        m.resultType = member.type;
    } else {
        add(member.type, KIV_PARAM_IN);
    }
    m.argCount = static_cast<uint32_t>(m.types.size());
    if (m.resultType) m.argTypes.push_back(&ffi_type_pointer);
    m.simple = !m.resultType || isScalarKind(m.resultType->kind);
    for (size_t i = 0; i < m.types.size(); ++i)
        if (m.directions[i] != KIV_PARAM_IN || !isScalarKind(m.types[i]->kind) ||
            m.types[i]->kind == KIV_TYPE_ENUM || m.types[i]->kind == KIV_TYPE_BOOLEAN)
            m.simple = false;
    if (ffi_prep_cif(&m.cif, FFI_DEFAULT_ABI, static_cast<unsigned>(m.argTypes.size()),
                     &ffi_type_uint32, m.argTypes.data()) != FFI_OK)
        return fail(KCALL_E_LAYOUT, std::string("cannot prepare a call of ") + m.slotName);
    return 0;
}

}  // namespace

kivResult prepareMethod(const Interface &iface, const kcallMember &member, uint32_t access,
                        const Method *&out) {
    if (member.kind == KIV_MEMBER_OPERATION && access != KCALL_OPERATION)
        return fail(KCALL_E_NO_MEMBER, std::string(member.name) + " is an operation");
    if (member.kind == KIV_MEMBER_ATTRIBUTE && access == KCALL_OPERATION) access = KCALL_GET;
    if (access == KCALL_SET && (member.flags & KIV_MEMBER_READONLY))
        return fail(KCALL_E_NO_MEMBER, std::string(member.name) + " is read-only");
    if (access > KCALL_SET) return fail(KIV_E_INVALIDARG, "unknown access");
    auto &mutableIface = const_cast<Interface &>(iface);
    std::lock_guard lock(mutableIface.mutex);
    auto &slot = mutableIface.methods[{&member, access}];
    if (!slot) {
        auto m = std::make_unique<Method>();
        kivResult rc = buildMethod(iface, member, access, *m);
        if (KIV_FAILED(rc)) return rc;
        slot = std::move(m);
    }
    out = slot.get();
    return 0;
}

kivResult prepareByName(const Interface &iface, const char *name, uint32_t access,
                        const Method *&out) {
    for (uint32_t i = 0; i < iface.memberCount; ++i)
        if (std::strcmp(iface.members[i].name, name) == 0)
            return prepareMethod(iface, iface.members[i], access, out);
    if (access == KCALL_OPERATION) {
        std::string_view slot = name;
        const bool getter = slot.starts_with("get_"), setter = slot.starts_with("set_");
        if (getter || setter) {
            for (uint32_t i = 0; i < iface.memberCount; ++i) {
                const kcallMember &m = iface.members[i];
                if (m.kind == KIV_MEMBER_ATTRIBUTE && slot.substr(4) == m.name)
                    return prepareMethod(iface, m, getter ? KCALL_GET : KCALL_SET, out);
            }
        }
    }
    return fail(KCALL_E_NO_MEMBER, std::string(iface.name) + " has no member " + name);
}

namespace {

// One argument's native storage: a scalar, or a pointer to the native value.
union Cell {
    uint64_t word;
    double f64;
    float f32;
    void *pointer;
    kivDecimal128 d128;
};

constexpr size_t kInlineArgs = 16;

class Invocation {
  public:
    Invocation(const Method &m, kcallValue *args, kcallValue *result)
        : m_(m), args_(args), result_(result), n_(m.argCount) {
        if (n_ + 2 > kInlineArgs) {
            heapCells_.resize(n_ + 2);
            heapValues_.resize(n_ + 2);
            heapNative_.resize(n_ + 2);
            cells_ = heapCells_.data();
            avalues_ = heapValues_.data();
            native_ = heapNative_.data();
        }
    }
    kivResult run(void *object);

  private:
    kivResult prepareArgument(uint32_t i);
    void releaseOwned(uint32_t upTo);
    kivResult collect();

    const Method &m_;
    kcallValue *args_;
    kcallValue *result_;
    uint32_t n_;
    Arena arena_;
    std::array<Cell, kInlineArgs> inlineCells_;
    std::array<void *, kInlineArgs> inlineValues_;
    std::array<void *, kInlineArgs> inlineNative_;
    std::vector<Cell> heapCells_;
    std::vector<void *> heapValues_, heapNative_;
    Cell *cells_ = inlineCells_.data();
    void **avalues_ = inlineValues_.data();
    void **native_ = inlineNative_.data();  // out, inout and result storage
};

kivResult Invocation::prepareArgument(uint32_t i) {
    const Type *type = m_.types[i];
    const kcallValue &value = args_[i];
    Cell &cell = cells_[i + 1];
    avalues_[i + 1] = &cell;
    native_[i] = nullptr;
    kivResult rc = 0;
    if (m_.directions[i] == KIV_PARAM_IN) {
        if (isScalarKind(type->kind) || type->kind == KIV_TYPE_STRING ||
            type->kind == KIV_TYPE_WSTRING || type->kind == KIV_TYPE_INTERFACE) {
            rc = toNative(type, value, &cell, Mode::borrow, &arena_);
        } else {
            cell.pointer = arena_.allocate(type->size, 16);
            rc = toNative(type, value, cell.pointer, Mode::borrow, &arena_);
        }
    } else {
        cell.pointer = native_[i] = arena_.allocate(type->size, 16);
        if (m_.directions[i] == KIV_PARAM_INOUT)
            rc = toNative(type, value, cell.pointer, Mode::own, &arena_);
    }
    if (KIV_FAILED(rc)) {
        const char *name = m_.access == KCALL_OPERATION ? m_.member->params[i].name : "value";
        std::string detail = kcallLastError();
        fail(rc, "argument " + std::to_string(i + 1) + " (" + name + "): " + detail);
    }
    return rc;
}

void Invocation::releaseOwned(uint32_t upTo) {
    for (uint32_t i = 0; i < upTo; ++i)
        if (m_.directions[i] == KIV_PARAM_INOUT) freeNative(m_.types[i], native_[i]);
}

// Reads out, inout and result storage back as values; replaces the arguments only when every
// one of them could be read. The native storage is released either way.
kivResult Invocation::collect() {
    std::array<kcallValue, kInlineArgs> inlineRead;
    std::vector<kcallValue> heapRead;
    kcallValue *read = inlineRead.data();
    if (n_ + 1 > kInlineArgs) {
        heapRead.resize(n_ + 1);
        read = heapRead.data();
    }
    for (uint32_t i = 0; i <= n_; ++i) read[i] = kcallValue{};
    kivResult rc = 0;
    for (uint32_t i = 0; i < n_; ++i) {
        if (!native_[i]) continue;
        if (KIV_SUCCEEDED(rc)) rc = fromNative(m_.types[i], native_[i], read[i]);
        freeNative(m_.types[i], native_[i]);
    }
    if (m_.resultType) {
        const Type *type = asType(m_.resultType);
        void *storage = cells_[n_ + 1].pointer;
        if (KIV_SUCCEEDED(rc)) rc = fromNative(type, storage, read[n_]);
        freeNative(type, storage);
    }
    if (KIV_FAILED(rc)) {
        for (uint32_t i = 0; i <= n_; ++i) kcallValueClear(&read[i]);
        return rc;
    }
    for (uint32_t i = 0; i < n_; ++i) {
        if (!native_[i]) continue;
        kcallValueClear(&args_[i]);
        args_[i] = read[i];
    }
    if (result_) {
        kcallValueClear(result_);
        *result_ = read[n_];
    } else {
        kcallValueClear(&read[n_]);
    }
    return 0;
}

kivResult Invocation::run(void *object) {
    cells_[0].pointer = object;
    avalues_[0] = &cells_[0];
    for (uint32_t i = 0; i < n_; ++i) {
        kivResult rc = prepareArgument(i);
        if (KIV_FAILED(rc)) {
            releaseOwned(i);
            return rc;
        }
    }
    if (m_.resultType) {
        cells_[n_ + 1].pointer = arena_.allocate(m_.resultType->size, 16);
        avalues_[n_ + 1] = &cells_[n_ + 1];
    }
    auto fn = reinterpret_cast<void (*)()>((*static_cast<void ***>(object))[m_.slot]);
    ffi_arg returned = 0;
    ffi_call(const_cast<ffi_cif *>(&m_.cif), fn, &returned, avalues_);
    const auto rc = static_cast<kivResult>(returned);
    if (KIV_FAILED(rc)) {
        // Out values stay the callee's business on failure; an inout value is ours again.
        releaseOwned(n_);
        return fail(rc, std::string(m_.slotName) + " failed");
    }
    return collect();
}

}  // namespace

kivResult invoke(const Method &m, void *object, kcallValue *args, uint32_t argCount,
                 kcallValue *result) {
    if (!object) return fail(KIV_E_POINTER, "a null object");
    if (argCount != m.argCount)
        return fail(KCALL_E_ARITY, std::string(m.slotName) + " takes " +
                                       std::to_string(m.argCount) + " arguments, not " +
                                       std::to_string(argCount));
    if (argCount && !args) return fail(KIV_E_INVALIDARG, "null arguments");
    if (m.simple && argCount + 2 <= kInlineArgs) {
        // Every argument an `in` number of exactly its kind and a numeric result, if any: pass
        // the values' payloads and read the result from a local.
        std::array<void *, kInlineArgs> avalues;
        void *self = object;
        Cell returnedValue{};
        void *resultStorage = &returnedValue;
        bool exact = true;
        avalues[0] = &self;
        for (uint32_t i = 0; i < argCount && exact; ++i) {
            exact = args[i].kind == m.types[i]->kind;
            avalues[i + 1] = &args[i].v;
        }
        if (exact) {
            avalues[argCount + 1] = &resultStorage;
            auto fn = reinterpret_cast<void (*)()>((*static_cast<void ***>(object))[m.slot]);
            ffi_arg returned = 0;
            ffi_call(const_cast<ffi_cif *>(&m.cif), fn, &returned, avalues.data());
            const auto rc = static_cast<kivResult>(returned);
            if (KIV_SUCCEEDED(rc) && m.resultType && result) {
                kcallValueClear(result);
                result->kind = m.resultType->kind;
                std::memcpy(&result->v, &returnedValue, m.resultType->size);
            }
            return rc;
        }
    }
    Invocation call(m, args, result);
    return call.run(object);
}

}  // namespace kcall
