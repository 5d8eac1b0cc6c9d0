// SPDX-License-Identifier: Apache-2.0
// The value record: release, deep copy, comparison, builders, checks against a type.
#include <cstring>
#include <string>

#include "native.h"

using namespace kcall;

namespace {

bool holdsItems(uint32_t kind) {
    return kind == KIV_TYPE_STRUCT || kind == KIV_TYPE_UNION || kind == KIV_TYPE_SEQUENCE ||
           kind == KIV_TYPE_ARRAY;
}

size_t payloadSize(uint32_t kind) {
    const kcallType *basic = basicType(kind);
    if (kind == KIV_TYPE_ENUM) return 4;
    return basic ? basic->size : 0;
}

int32_t order(uint64_t a, uint64_t b) {
    return a < b ? -1 : a > b ? 1 : 0;
}

kivResult checkWithType(const kcallType *type, const kcallValue *value) {
    if (!type || !value) return fail(KIV_E_INVALIDARG, "null type or value");
    const Type *t = asType(type);
    if (t->kind == KIV_TYPE_VOID || t->size == 0) return fail(KCALL_E_KIND, "no value fits void");
    Arena arena;
    void *scratch = arena.allocate(t->size, 16);
    return toNative(t, *value, scratch, Mode::borrow, &arena);
}

}  // namespace

KIV_API void kcallValueClear(kcallValue *value) noexcept {
    if (!value) return;
    switch (value->kind) {
        case KIV_TYPE_STRING:
            kivFree(value->v.str);
            break;
        case KIV_TYPE_WSTRING:
            kivFree(value->v.wstr);
            break;
        case KIV_TYPE_INTERFACE:
            kivComRelease(value->v.ref.object);
            kivFree(value->v.ref.iid);
            break;
        default:
            if (holdsItems(value->kind) && value->v.items) {
                for (uint32_t i = 0; i < value->count; ++i) kcallValueClear(&value->v.items[i]);
                kivFree(value->v.items);
            }
    }
    *value = kcallValue{};
}

KIV_API kivResult kcallValueCopy(kcallValue *dst, const kcallValue *src) noexcept {
    if (!dst || !src) return KIV_E_INVALIDARG;
    kcallValue copy = *src;
    switch (src->kind) {
        case KIV_TYPE_STRING:
            copy.v.str = src->v.str ? kivStrNDup(src->v.str, src->count) : nullptr;
            break;
        case KIV_TYPE_WSTRING:
            if (src->v.wstr) {
                const size_t bytes = (size_t{src->count} + 1) * sizeof(kivWChar);
                copy.v.wstr = static_cast<kivWChar *>(kivMalloc(bytes));
                std::memcpy(copy.v.wstr, src->v.wstr, bytes);
            }
            break;
        case KIV_TYPE_INTERFACE:
            kivComAddRef(src->v.ref.object);
            copy.v.ref.iid = kivStrDup(src->v.ref.iid);
            break;
        default:
            if (holdsItems(src->kind) && src->v.items && src->count) {
                copy.v.items = static_cast<kcallValue *>(kivCalloc(src->count, sizeof(kcallValue)));
                for (uint32_t i = 0; i < src->count; ++i)
                    kcallValueCopy(&copy.v.items[i], &src->v.items[i]);
            } else if (holdsItems(src->kind)) {
                copy.v.items = nullptr;
                copy.count = 0;
            }
    }
    *dst = copy;
    return 0;
}

KIV_API int32_t kcallValueCompare(const kcallValue *a, const kcallValue *b) noexcept {
    if (!a || !b) return order(a != nullptr, b != nullptr);
    if (a->kind != b->kind) return order(a->kind, b->kind);
    switch (a->kind) {
        case KIV_TYPE_STRING:
        case KIV_TYPE_WSTRING: {
            const size_t unit = a->kind == KIV_TYPE_STRING ? 1 : 2;
            const size_t n = std::min(a->count, b->count) * unit;
            int c = n ? std::memcmp(a->v.str, b->v.str, n) : 0;
            if (c) return c < 0 ? -1 : 1;
            return order(a->count, b->count);
        }
        case KIV_TYPE_INTERFACE:
            return order(reinterpret_cast<uintptr_t>(a->v.ref.object),
                         reinterpret_cast<uintptr_t>(b->v.ref.object));
        default:
            if (holdsItems(a->kind)) {
                const uint32_t n = std::min(a->count, b->count);
                for (uint32_t i = 0; i < n; ++i)
                    if (int32_t c = kcallValueCompare(&a->v.items[i], &b->v.items[i])) return c;
                return order(a->count, b->count);
            }
            const size_t size = payloadSize(a->kind);
            int c = size ? std::memcmp(&a->v, &b->v, size) : 0;
            return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
}

KIV_API kivResult kcallValueSetString(kcallValue *out, const char *text, size_t length) noexcept {
    if (!out || (!text && length)) return KIV_E_INVALIDARG;
    if (!text) text = "";
    if (length == SIZE_MAX) length = std::strlen(text);
    if (length >= UINT32_MAX) return fail(KCALL_E_BOUND, "string too long");
    if (std::memchr(text, 0, length)) return fail(KCALL_E_ENCODING, "a string holding a NUL");
    *out = kcallValue{};
    out->kind = KIV_TYPE_STRING;
    out->count = static_cast<uint32_t>(length);
    out->v.str = kivStrNDup(text, length);
    return 0;
}

KIV_API kivResult kcallValueSetWString(kcallValue *out, const kivWChar *text,
                                       size_t length) noexcept {
    if (!out || (!text && length)) return KIV_E_INVALIDARG;
    static const kivWChar empty[1] = {0};
    if (!text) text = empty;
    if (length == SIZE_MAX)
        for (length = 0; text[length];) ++length;
    if (length >= UINT32_MAX) return fail(KCALL_E_BOUND, "wide string too long");
    for (size_t i = 0; i < length; ++i)
        if (!text[i]) return fail(KCALL_E_ENCODING, "a wide string holding a NUL");
    *out = kcallValue{};
    out->kind = KIV_TYPE_WSTRING;
    out->count = static_cast<uint32_t>(length);
    out->v.wstr = static_cast<kivWChar *>(kivMalloc((length + 1) * sizeof(kivWChar)));
    std::memcpy(out->v.wstr, text, length * sizeof(kivWChar));
    out->v.wstr[length] = 0;
    return 0;
}

KIV_API kivResult kcallValueSetItems(kcallValue *out, uint32_t kind, uint32_t count) noexcept {
    if (!out || !holdsItems(kind) || (kind == KIV_TYPE_UNION && (count < 1 || count > 2)))
        return KIV_E_INVALIDARG;
    *out = kcallValue{};
    out->kind = kind;
    out->count = count;
    out->v.items =
        count ? static_cast<kcallValue *>(kivCalloc(count, sizeof(kcallValue))) : nullptr;
    return 0;
}

KIV_API kivResult kcallValueSetRef(kcallValue *out, void *object, const char *iid) noexcept {
    if (!out || (object && !iid)) return KIV_E_INVALIDARG;
    *out = kcallValue{};
    out->kind = KIV_TYPE_INTERFACE;
    out->v.ref.object = object;
    kivComAddRef(object);
    out->v.ref.iid = kivStrDup(iid);
    return 0;
}

KIV_API kivResult kcallValueInit(kcallValue *out, const kcallType *type) noexcept {
    if (!out || !type) return KIV_E_INVALIDARG;
    const Type *t = asType(type);
    if (t->kind == KIV_TYPE_VOID || t->layout != LayoutState::done)
        return fail(KCALL_E_KIND, "no value for this type");
    // The zeroed native form is the empty value, except for enumerations and unions whose
    // zero may not be a member: those take their first enumerator or case.
    if (t->kind == KIV_TYPE_ENUM) {
        *out = kcallValue{};
        out->kind = KIV_TYPE_ENUM;
        out->v.u32 = static_cast<uint32_t>(t->fields[0].label);
        return 0;
    }
    if (t->kind == KIV_TYPE_UNION) {
        kcallValue u{};
        kcallValueSetItems(&u, KIV_TYPE_UNION, 2);
        const kcallField &first = t->fields[0];
        kivResult rc = kcallValueInit(&u.v.items[0], t->discriminator);
        if (KIV_SUCCEEDED(rc) && !first.isDefault) {
            // the discriminator keeps its kind; only its bits change
            kcallValue &d = u.v.items[0];
            if (d.kind == KIV_TYPE_ENUM || d.kind == KIV_TYPE_ULONG || d.kind == KIV_TYPE_LONG)
                d.v.u32 = static_cast<uint32_t>(first.label);
            else if (d.kind == KIV_TYPE_LONGLONG || d.kind == KIV_TYPE_ULONGLONG)
                d.v.u64 = static_cast<uint64_t>(first.label);
            else if (d.kind == KIV_TYPE_SHORT || d.kind == KIV_TYPE_USHORT ||
                     d.kind == KIV_TYPE_WCHAR)
                d.v.u16 = static_cast<uint16_t>(first.label);
            else
                d.v.octet = static_cast<uint8_t>(first.label);
        }
        if (KIV_SUCCEEDED(rc)) {
            __int128 n = 0;
            integerOf(u.v.items[0], n);
            int at = unionCase(t, static_cast<int64_t>(n));
            if (at < 0)
                u.count = 1;
            else
                rc = kcallValueInit(&u.v.items[1], t->fields[at].type);
        }
        if (KIV_FAILED(rc)) {
            kcallValueClear(&u);
            return rc;
        }
        *out = u;
        return 0;
    }
    if (t->kind == KIV_TYPE_STRUCT || t->kind == KIV_TYPE_ARRAY) {
        const bool isStruct = t->kind == KIV_TYPE_STRUCT;
        const uint32_t n = isStruct ? t->fieldCount : t->bound;
        kcallValue v{};
        kcallValueSetItems(&v, t->kind, n);
        for (uint32_t i = 0; i < n; ++i) {
            kivResult rc = kcallValueInit(&v.v.items[i], isStruct ? t->fields[i].type : t->element);
            if (KIV_FAILED(rc)) {
                kcallValueClear(&v);
                return rc;
            }
        }
        *out = v;
        return 0;
    }
    Arena arena;
    void *zero = arena.allocate(t->size, 16);
    return fromNative(t, zero, *out);
}

KIV_API kivResult kcallValueCheck(const kcallType *type, const kcallValue *value) noexcept {
    return checkWithType(type, value);
}

KIV_API kivResult kcallValueConvert(const kcallType *type, kcallValue *value) noexcept {
    kivResult rc = checkWithType(type, value);
    if (KIV_FAILED(rc)) return rc;
    // The checked value's native form read back is the value with every kind made exact.
    const Type *t = asType(type);
    Arena arena;
    void *native = arena.allocate(t->size, 16);
    rc = toNative(t, *value, native, Mode::borrow, &arena);
    kcallValue exact{};
    if (KIV_SUCCEEDED(rc)) rc = fromNative(t, native, exact);
    if (KIV_FAILED(rc)) return rc;
    kcallValueClear(value);
    *value = exact;
    return 0;
}
