// SPDX-License-Identifier: Apache-2.0
// Values to native memory and back.
#include "native.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace kcall {

Arena::~Arena() {
    for (void *object : references_) kivComRelease(object);
    for (void *chunk : chunks_) std::free(chunk);
}

void *Arena::allocate(size_t size, size_t align) {
    size_t at = (used_ + align - 1) / align * align;
    if (at + size <= sizeof inline_) {
        used_ = at + size;
        std::memset(inline_ + at, 0, size);
        return inline_ + at;
    }
    void *chunk = std::calloc(1, size ? size : 1);
    if (!chunk) kivFatal(KIV_E_OUT_OF_MEMORY, "kivcall: out of memory");
    chunks_.push_back(chunk);
    return chunk;
}

namespace {

// The integer kinds: how a value of the kind holds its number, and what a target of the kind
// takes. A char reads as its code but takes either signedness; an enumeration reads as its
// enumerator's value and is checked against its enumerators elsewhere.
struct IntegerKind {
    uint32_t kind;
    uint8_t size;
    bool isSigned;
    __int128 lo, hi;
};

constexpr IntegerKind kIntegerKinds[] = {
    {KIV_TYPE_BOOLEAN, 1, false, 0, 1},
    {KIV_TYPE_OCTET, 1, false, 0, UINT8_MAX},
    {KIV_TYPE_CHAR, 1, false, INT8_MIN, UINT8_MAX},
    {KIV_TYPE_WCHAR, 2, false, 0, UINT16_MAX},
    {KIV_TYPE_SHORT, 2, true, INT16_MIN, INT16_MAX},
    {KIV_TYPE_USHORT, 2, false, 0, UINT16_MAX},
    {KIV_TYPE_LONG, 4, true, INT32_MIN, INT32_MAX},
    {KIV_TYPE_ULONG, 4, false, 0, UINT32_MAX},
    {KIV_TYPE_LONGLONG, 8, true, INT64_MIN, INT64_MAX},
    {KIV_TYPE_ULONGLONG, 8, false, 0, UINT64_MAX},
    {KIV_TYPE_ENUM, 4, false, 0, UINT32_MAX},
};

const IntegerKind *integerKind(uint32_t kind) {
    for (const IntegerKind &k : kIntegerKinds)
        if (k.kind == kind) return &k;
    return nullptr;
}

template <typename Unsigned, typename Signed>
__int128 numberAt(const void *src, bool isSigned) {
    Unsigned bits;
    std::memcpy(&bits, src, sizeof bits);
    return isSigned ? __int128{static_cast<Signed>(bits)} : __int128{bits};
}

}  // namespace

bool integerOf(const kcallValue &v, __int128 &out) {
    const IntegerKind *k = integerKind(v.kind);
    if (!k) return false;
    switch (k->size) {
        case 1:
            out = numberAt<uint8_t, int8_t>(&v.v, k->isSigned);
            break;
        case 2:
            out = numberAt<uint16_t, int16_t>(&v.v, k->isSigned);
            break;
        case 4:
            out = numberAt<uint32_t, int32_t>(&v.v, k->isSigned);
            break;
        default:
            out = numberAt<uint64_t, int64_t>(&v.v, k->isSigned);
    }
    return true;
}

int unionCase(const Type *type, int64_t discriminator) {
    int fallback = -1;
    for (uint32_t i = 0; i < type->fieldCount; ++i) {
        if (type->fields[i].isDefault)
            fallback = static_cast<int>(i);
        else if (type->fields[i].label == discriminator)
            return static_cast<int>(i);
    }
    return fallback;
}

namespace {

const char *kindName(uint32_t kind) {
    if (const Type *basic = basicType(kind)) return basic->name;
    switch (kind) {
        case 0:
            return "empty value";
        case KIV_TYPE_STRUCT:
            return "structure";
        case KIV_TYPE_UNION:
            return "union";
        case KIV_TYPE_ENUM:
            return "enumeration";
        case KIV_TYPE_SEQUENCE:
            return "sequence";
        case KIV_TYPE_ARRAY:
            return "array";
        case KIV_TYPE_INTERFACE:
            return "interface";
        default:
            return "invalid kind";
    }
}

kivResult wrongKind(const Type *type, const kcallValue &v) {
    return fail(KCALL_E_KIND, std::string("a ") + kindName(v.kind) + " value for " +
                                  (type->name ? type->name : "?"));
}

std::string toText(__int128 n) {
    if (n < 0) return "-" + toText(-n);
    std::string digits;
    do digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(n % 10)));
    while ((n /= 10) != 0);
    return digits;
}

kivResult outOfRange(const Type *type, __int128 n) {
    return fail(KCALL_E_RANGE, toText(n) + " is out of range for " + type->name);
}

template <typename T>
void put(void *dst, T value) {
    std::memcpy(dst, &value, sizeof value);
}

template <typename T>
T get(const void *src) {
    T value;
    std::memcpy(&value, src, sizeof value);
    return value;
}

kivResult integerToNative(const Type *type, const kcallValue &v, void *dst) {
    __int128 n = 0;
    // Booleans, chars and wide chars take only their own kind or plain integers.
    if (!integerOf(v, n) || v.kind == KIV_TYPE_ENUM ||
        (v.kind == KIV_TYPE_BOOLEAN && type->kind != KIV_TYPE_BOOLEAN))
        return wrongKind(type, v);
    const IntegerKind *target = integerKind(type->kind);
    if (!target || n < target->lo || n > target->hi) return outOfRange(type, n);
    switch (type->size) {
        case 1:
            put(dst, static_cast<uint8_t>(n));
            break;
        case 2:
            put(dst, static_cast<uint16_t>(n));
            break;
        case 4:
            put(dst, static_cast<uint32_t>(n));
            break;
        default:
            put(dst, static_cast<uint64_t>(n));
    }
    return 0;
}

kivResult floatToNative(const Type *type, const kcallValue &v, void *dst) {
    double d = 0;
    __int128 n = 0;
    if (v.kind == KIV_TYPE_DOUBLE)
        d = v.v.f64;
    else if (v.kind == KIV_TYPE_FLOAT)
        d = v.v.f32;
    else if (integerOf(v, n) && v.kind != KIV_TYPE_BOOLEAN && v.kind != KIV_TYPE_ENUM)
        d = static_cast<double>(n);
    else
        return wrongKind(type, v);
    if (type->kind == KIV_TYPE_DOUBLE) {
        put(dst, d);
    } else {
        if (v.kind == KIV_TYPE_FLOAT) {
            put(dst, v.v.f32);  // exact bits, NaN payloads included
            return 0;
        }
        if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
            return fail(KCALL_E_RANGE, std::to_string(d) + " is out of range for float");
        put(dst, static_cast<float>(d));
    }
    return 0;
}

kivResult enumToNative(const Type *type, const kcallValue &v, void *dst) {
    __int128 n = 0;
    if (v.kind != KIV_TYPE_ENUM && (!integerOf(v, n) || v.kind == KIV_TYPE_BOOLEAN ||
                                    v.kind == KIV_TYPE_CHAR || v.kind == KIV_TYPE_WCHAR))
        return wrongKind(type, v);
    if (v.kind == KIV_TYPE_ENUM) n = v.v.u32;
    for (uint32_t i = 0; i < type->fieldCount; ++i) {
        if (type->fields[i].label == n) {
            put(dst, static_cast<uint32_t>(n));
            return 0;
        }
    }
    return fail(KCALL_E_RANGE, toText(n) + " is not an enumerator of " + type->name);
}

template <typename Unit>
size_t unitLength(const Unit *s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

template <typename Unit>
kivResult stringToNative(const Type *type, const Unit *text, uint32_t count, void *dst, Mode mode) {
    static const Unit empty[1] = {0};
    if (!text && count) return fail(KCALL_E_KIND, "a string value without text");
    if (!text) text = empty;
    if (type->bound && count > type->bound)
        return fail(KCALL_E_BOUND,
                    "a string of " + std::to_string(count) + " units for " + type->name);
    for (uint32_t i = 0; i < count; ++i)
        if (text[i] == 0) return fail(KCALL_E_ENCODING, "a string holding a NUL");
    if (text[count] != 0) return fail(KCALL_E_ENCODING, "a string without its terminating NUL");
    if (mode == Mode::borrow) {
        put(dst, text);
        return 0;
    }
    auto *copy = static_cast<Unit *>(kivMalloc((size_t{count} + 1) * sizeof(Unit)));
    std::memcpy(copy, text, (size_t{count} + 1) * sizeof(Unit));
    put(dst, copy);
    return 0;
}

void prefixError(const std::string &where) {
    std::string detail = kcallLastError();
    fail(0, where + ": " + detail);
}

kivResult elementsToNative(const Type *element, const kcallValue *items, uint32_t count,
                           std::byte *buffer, Mode mode, Arena *arena) {
    for (uint32_t i = 0; i < count; ++i) {
        kivResult rc = toNative(asType(element), items[i], buffer + i * element->size, mode, arena);
        if (KIV_FAILED(rc)) {
            if (mode == Mode::own)
                for (uint32_t k = 0; k < i; ++k)
                    freeNative(asType(element), buffer + k * element->size);
            prefixError("element " + std::to_string(i));
            return rc;
        }
    }
    return 0;
}

kivResult sequenceToNative(const Type *type, const kcallValue &v, void *dst, Mode mode,
                           Arena *arena) {
    if (v.kind != KIV_TYPE_SEQUENCE && v.kind != KIV_TYPE_ARRAY) return wrongKind(type, v);
    if (v.count && !v.v.items) return fail(KCALL_E_KIND, "a sequence value without items");
    if (type->bound && v.count > type->bound)
        return fail(KCALL_E_BOUND,
                    std::to_string(v.count) + " elements for " + std::string(type->name));
    const size_t esize = type->element->size;
    if (esize && v.count > (size_t{64} << 20) / esize)
        return fail(KCALL_E_BOUND, "sequence too large");
    std::byte *buffer = nullptr;
    if (v.count) {
        const size_t bytes = v.count * esize;
        buffer = static_cast<std::byte *>(mode == Mode::own ? kivCalloc(1, bytes)
                                                            : arena->allocate(bytes, 8));
        kivResult rc =
            elementsToNative(asType(type->element), v.v.items, v.count, buffer, mode, arena);
        if (KIV_FAILED(rc)) {
            if (mode == Mode::own) kivFree(buffer);
            return rc;
        }
    }
    put(dst, v.count);
    put(static_cast<std::byte *>(dst) + 4, v.count);
    put(static_cast<std::byte *>(dst) + 8, buffer);
    return 0;
}

kivResult structToNative(const Type *type, const kcallValue &v, void *dst, Mode mode,
                         Arena *arena) {
    if (v.kind != KIV_TYPE_STRUCT) return wrongKind(type, v);
    if (v.count != type->fieldCount || (v.count && !v.v.items))
        return fail(KCALL_E_KIND, std::to_string(v.count) + " members for " + type->name);
    auto *base = static_cast<std::byte *>(dst);
    for (uint32_t i = 0; i < type->fieldCount; ++i) {
        const Type *member = asType(type->fields[i].type);
        kivResult rc = toNative(member, v.v.items[i], base + type->offsets[i], mode, arena);
        if (KIV_FAILED(rc)) {
            if (mode == Mode::own)
                for (uint32_t k = 0; k < i; ++k)
                    freeNative(asType(type->fields[k].type), base + type->offsets[k]);
            prefixError(type->fields[i].name);
            return rc;
        }
    }
    return 0;
}

kivResult unionToNative(const Type *type, const kcallValue &v, void *dst, Mode mode, Arena *arena) {
    if (v.kind != KIV_TYPE_UNION) return wrongKind(type, v);
    if ((v.count != 1 && v.count != 2) || !v.v.items)
        return fail(KCALL_E_KIND, "a union value needs a discriminator");
    const Type *disc = asType(type->discriminator);
    kivResult rc = toNative(disc, v.v.items[0], dst, mode, arena);
    if (KIV_FAILED(rc)) {
        prefixError("discriminator");
        return rc;
    }
    __int128 d = 0;
    kcallValue read{};
    fromNative(disc, dst, read);
    integerOf(read, d);
    const int at = unionCase(type, static_cast<int64_t>(d));
    if (at < 0 && v.count == 2)
        return fail(KCALL_E_UNION_CASE,
                    "no case of " + std::string(type->name) + " for " + toText(d));
    if (at >= 0 && v.count == 1)
        return fail(KCALL_E_UNION_CASE, "a value is missing for case " +
                                            std::string(type->fields[at].name) + " of " +
                                            type->name);
    if (at < 0) return 0;
    rc = toNative(asType(type->fields[at].type), v.v.items[1],
                  static_cast<std::byte *>(dst) + type->unionOffset, mode, arena);
    if (KIV_FAILED(rc)) prefixError(type->fields[at].name);
    return rc;
}

kivResult interfaceToNative(const Type *type, const kcallValue &v, void *dst, Mode mode,
                            Arena *arena) {
    if (v.kind != KIV_TYPE_INTERFACE) return wrongKind(type, v);
    void *object = v.v.ref.object;
    if (!object) {
        put<void *>(dst, nullptr);
        return 0;
    }
    const bool sameInterface = v.v.ref.iid && std::strcmp(v.v.ref.iid, type->repoId) == 0;
    if (sameInterface || std::strcmp(type->repoId, KIV_IID_IUNKNOWN) == 0) {
        if (mode == Mode::own) kivComAddRef(object);
        put(dst, object);
        return 0;
    }
    void *asked = nullptr;
    auto *unknown = static_cast<IUnknown *>(object);
    kivResult rc = unknown->vtbl->queryInterface(object, type->repoId, &asked);
    if (KIV_FAILED(rc) || !asked)
        return fail(KCALL_E_KIND, std::string("the object does not implement ") + type->repoId);
    if (mode == Mode::borrow) arena->keepReference(asked);
    put(dst, asked);
    return 0;
}

}  // namespace

kivResult toNative(const Type *type, const kcallValue &v, void *dst, Mode mode, Arena *arena) {
    switch (type->kind) {
        case KIV_TYPE_BOOLEAN:
        case KIV_TYPE_OCTET:
        case KIV_TYPE_CHAR:
        case KIV_TYPE_WCHAR:
        case KIV_TYPE_SHORT:
        case KIV_TYPE_USHORT:
        case KIV_TYPE_LONG:
        case KIV_TYPE_ULONG:
        case KIV_TYPE_LONGLONG:
        case KIV_TYPE_ULONGLONG:
            return integerToNative(type, v, dst);
        case KIV_TYPE_FLOAT:
        case KIV_TYPE_DOUBLE:
            return floatToNative(type, v, dst);
        case KIV_TYPE_ENUM:
            return enumToNative(type, v, dst);
        case KIV_TYPE_DECIMAL32:
        case KIV_TYPE_DECIMAL64:
        case KIV_TYPE_DECIMAL128:
            if (v.kind != type->kind) return wrongKind(type, v);
            std::memcpy(dst, &v.v, type->size);
            return 0;
        case KIV_TYPE_STRING:
            if (v.kind != KIV_TYPE_STRING) return wrongKind(type, v);
            return stringToNative(type, v.v.str, v.count, dst, mode);
        case KIV_TYPE_WSTRING:
            if (v.kind != KIV_TYPE_WSTRING) return wrongKind(type, v);
            return stringToNative(type, v.v.wstr, v.count, dst, mode);
        case KIV_TYPE_STRUCT:
            return structToNative(type, v, dst, mode, arena);
        case KIV_TYPE_UNION:
            return unionToNative(type, v, dst, mode, arena);
        case KIV_TYPE_SEQUENCE:
            return sequenceToNative(type, v, dst, mode, arena);
        case KIV_TYPE_ARRAY:
            if (v.kind != KIV_TYPE_ARRAY && v.kind != KIV_TYPE_SEQUENCE) return wrongKind(type, v);
            if (v.count != type->bound || !v.v.items)
                return fail(KCALL_E_BOUND, std::to_string(v.count) + " elements for " + type->name);
            return elementsToNative(asType(type->element), v.v.items, v.count,
                                    static_cast<std::byte *>(dst), mode, arena);
        case KIV_TYPE_INTERFACE:
            return interfaceToNative(type, v, dst, mode, arena);
        default:
            return fail(KCALL_E_LAYOUT, "a type without a native form");
    }
}

namespace {

template <typename Unit>
Unit *copyUnits(const Unit *text, uint32_t &count) {
    static const Unit empty[1] = {0};
    if (!text) text = empty;
    size_t n = unitLength(text);
    if (n > UINT32_MAX - 1) n = UINT32_MAX - 1;
    auto *copy = static_cast<Unit *>(kivMalloc((n + 1) * sizeof(Unit)));
    std::memcpy(copy, text, n * sizeof(Unit));
    copy[n] = 0;
    count = static_cast<uint32_t>(n);
    return copy;
}

kivResult elementsFromNative(const Type *element, const std::byte *src, uint32_t count,
                             kcallValue &value, uint32_t kind) {
    value.kind = kind;
    value.count = 0;
    value.v.items =
        count ? static_cast<kcallValue *>(kivCalloc(count, sizeof(kcallValue))) : nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        kivResult rc = fromNative(element, src + i * element->size, value.v.items[i]);
        value.count = i + 1;
        if (KIV_FAILED(rc)) {
            kcallValueClear(&value);
            return rc;
        }
    }
    return 0;
}

}  // namespace

kivResult fromNative(const Type *type, const void *src, kcallValue &value) {
    value = kcallValue{};
    value.kind = type->kind;
    switch (type->kind) {
        case KIV_TYPE_BOOLEAN:
        case KIV_TYPE_OCTET:
        case KIV_TYPE_CHAR:
        case KIV_TYPE_WCHAR:
        case KIV_TYPE_SHORT:
        case KIV_TYPE_USHORT:
        case KIV_TYPE_LONG:
        case KIV_TYPE_ULONG:
        case KIV_TYPE_LONGLONG:
        case KIV_TYPE_ULONGLONG:
        case KIV_TYPE_FLOAT:
        case KIV_TYPE_DOUBLE:
        case KIV_TYPE_ENUM:
        case KIV_TYPE_DECIMAL32:
        case KIV_TYPE_DECIMAL64:
        case KIV_TYPE_DECIMAL128:
            std::memcpy(&value.v, src, type->size);
            return 0;
        case KIV_TYPE_STRING:
            value.v.str = copyUnits(get<const char *>(src), value.count);
            return 0;
        case KIV_TYPE_WSTRING:
            value.v.wstr = copyUnits(get<const kivWChar *>(src), value.count);
            return 0;
        case KIV_TYPE_INTERFACE: {
            void *object = get<void *>(src);
            value.v.ref.object = object;
            if (object) {
                kivComAddRef(object);
                value.v.ref.iid = kivStrDup(type->repoId);
            }
            return 0;
        }
        case KIV_TYPE_ARRAY:
            return elementsFromNative(asType(type->element), static_cast<const std::byte *>(src),
                                      type->bound, value, KIV_TYPE_ARRAY);
        case KIV_TYPE_SEQUENCE: {
            const uint32_t length = get<uint32_t>(src);
            const auto *buffer = get<const std::byte *>(static_cast<const std::byte *>(src) + 8);
            if (length && !buffer)
                return fail(KCALL_E_BOUND, "a sequence without a buffer from the callee");
            return elementsFromNative(asType(type->element), buffer, length, value,
                                      KIV_TYPE_SEQUENCE);
        }
        case KIV_TYPE_STRUCT: {
            value.v.items =
                static_cast<kcallValue *>(kivCalloc(type->fieldCount, sizeof(kcallValue)));
            for (uint32_t i = 0; i < type->fieldCount; ++i) {
                kivResult rc = fromNative(asType(type->fields[i].type),
                                          static_cast<const std::byte *>(src) + type->offsets[i],
                                          value.v.items[i]);
                value.count = i + 1;
                if (KIV_FAILED(rc)) {
                    kcallValueClear(&value);
                    return rc;
                }
            }
            return 0;
        }
        case KIV_TYPE_UNION: {
            value.v.items = static_cast<kcallValue *>(kivCalloc(2, sizeof(kcallValue)));
            value.count = 1;
            const Type *disc = asType(type->discriminator);
            fromNative(disc, src, value.v.items[0]);
            __int128 d = 0;
            integerOf(value.v.items[0], d);
            const int at = unionCase(type, static_cast<int64_t>(d));
            if (at < 0) return 0;
            value.count = 2;
            kivResult rc = fromNative(asType(type->fields[at].type),
                                      static_cast<const std::byte *>(src) + type->unionOffset,
                                      value.v.items[1]);
            if (KIV_FAILED(rc)) kcallValueClear(&value);
            return rc;
        }
        default:
            value.kind = 0;
            return fail(KCALL_E_LAYOUT, "a type without a native form");
    }
}

void freeNative(const Type *type, void *native) {
    auto *bytes = static_cast<std::byte *>(native);
    switch (type->kind) {
        case KIV_TYPE_STRING:
        case KIV_TYPE_WSTRING:
            kivFree(get<void *>(native));
            break;
        case KIV_TYPE_INTERFACE:
            kivComRelease(get<void *>(native));
            break;
        case KIV_TYPE_ARRAY:
            for (uint32_t i = 0; i < type->bound; ++i)
                freeNative(asType(type->element), bytes + i * type->element->size);
            return;
        case KIV_TYPE_SEQUENCE: {
            const uint32_t length = get<uint32_t>(native);
            auto *buffer = get<std::byte *>(bytes + 8);
            if (buffer)
                for (uint32_t i = 0; i < length; ++i)
                    freeNative(asType(type->element), buffer + i * type->element->size);
            kivFree(buffer);
            break;
        }
        case KIV_TYPE_STRUCT:
            for (uint32_t i = 0; i < type->fieldCount; ++i)
                freeNative(asType(type->fields[i].type), bytes + type->offsets[i]);
            return;
        case KIV_TYPE_UNION: {
            kcallValue read{};
            fromNative(asType(type->discriminator), native, read);
            __int128 d = 0;
            integerOf(read, d);
            const int at = unionCase(type, static_cast<int64_t>(d));
            if (at >= 0) freeNative(asType(type->fields[at].type), bytes + type->unionOffset);
            break;
        }
        default:
            return;  // numbers hold nothing
    }
    std::memset(native, 0, type->size);
}

}  // namespace kcall
