// SPDX-License-Identifier: Apache-2.0
// Whether two definitions of one repository id say the same thing.
//
// The comparison is structural. Nested definitions (contents), enumeration members and union
// cases are sets: their order carries no meaning, so sorted copies are compared. Structure
// members, interface members and parameters are compared by position. Texts compare byte for
// byte, numbers by value. References to other definitions compare by id, except those to
// bounded strings, sequences and arrays, whose ids are local to each library (LOCAL:n): these
// are resolved, each in its own library, and compared by bound or length.
//
// Definitions that reach the check satisfy the model's validity rules (the creating operations
// and the record reader enforce them). A kind, member kind or tag that those rules exclude is a
// broken invariant, and the check stops the process rather than guess; records read from any
// file never carry one.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "tlib/model.h"
#include "ust.h"

namespace kiv::tlib {

namespace {

[[noreturn]] void brokenInvariant() {
    std::abort();
}

// Texts compare as bytes up to the NUL; a null text equals only another null. Definitions
// reach the check from callers too, not only from the record reader, so names may be null.
bool sameText(const char *a, const char *b) {
    if (!a || !b) return a == b;
    return std::strcmp(a, b) == 0;
}

// Ascending unsigned byte order (strcmp's), null first.
bool textBefore(const char *a, const char *b) {
    if (!a || !b) return !a && b;
    return std::strcmp(a, b) < 0;
}

constexpr kivResult kCompatible = 0;

kivResult verdict(bool same) {
    return same ? kCompatible : KIV_E_INCOMPATIBLE;
}

// Two sets of repository ids.
bool sameIdSet(std::span<const char *const> a, std::span<const char *const> b) {
    if (a.size() != b.size()) return false;
    std::vector<const char *> x(a.begin(), a.end()), y(b.begin(), b.end());
    std::sort(x.begin(), x.end(), textBefore);
    std::sort(y.begin(), y.end(), textBefore);
    return std::equal(x.begin(), x.end(), y.begin(), sameText);
}

// Copies of two element arrays of equal length, sorted by name, so that equal names pair up.
template <class Element>
std::pair<std::vector<Element>, std::vector<Element>> pairedByName(const Element *a,
                                                                   const Element *b,
                                                                   uint32_t count) {
    auto byName = [](const Element &x, const Element &y) { return textBefore(x.name, y.name); };
    std::vector<Element> x(a, a + count), y(b, b + count);
    std::sort(x.begin(), x.end(), byName);
    std::sort(y.begin(), y.end(), byName);
    return {std::move(x), std::move(y)};
}

bool floatEqual(double a, double b) {
    return !std::isnan(a) && !std::isnan(b) && a == b;
}

// Values of equal tags.
bool sameValue(const kivTLibValue &a, const kivTLibValue &b) {
    switch (a.tag) {
        case KIV_TYPE_FLOAT:
            return floatEqual(a.f32, b.f32);
        case KIV_TYPE_DOUBLE:
            return floatEqual(a.f64, b.f64);
        case KIV_TYPE_DECIMAL32:
            return ustDec64QuietNotEqual(ustDec32ToDec64(a.u32), ustDec32ToDec64(b.u32)) == 0;
        case KIV_TYPE_DECIMAL64:
            return ustDec64QuietNotEqual(a.u64, b.u64) == 0;
        case KIV_TYPE_DECIMAL128:
            return ustDec128QuietNotEqual(a.d128, b.d128) == 0;
        default:
            break;
    }
    switch (payloadOf(a.tag)) {
        case Payload::None:
            return true;
        case Payload::U8:
            return a.u8 == b.u8;
        case Payload::WChar:
        case Payload::U16:
            return a.u16 == b.u16;
        case Payload::U32:
        case Payload::Varint:
            return a.u32 == b.u32;
        case Payload::U64:
            return a.u64 == b.u64;
        case Payload::String:
            return sameText(a.str, b.str);
        case Payload::D128:
        case Payload::Invalid:
            break;
    }
    brokenInvariant();
}

// What a reference of tag 15, 16, 20 or 21 must name.
kivTLibDefKind referencedKind(uint32_t tag) {
    switch (tag) {
        case KIV_TYPE_STRING:
            return KIV_DEF_STRING;
        case KIV_TYPE_WSTRING:
            return KIV_DEF_WSTRING;
        case KIV_TYPE_SEQUENCE:
            return KIV_DEF_SEQUENCE;
        default:
            return KIV_DEF_ARRAY;
    }
}

// The bound of a string or sequence, the length of an array.
uint32_t sizeOf(const kivTLibDef *def) {
    switch (def->kind) {
        case KIV_DEF_STRING:
        case KIV_DEF_WSTRING:
            return as<kivTLibStringDef>(def)->bound;
        case KIV_DEF_SEQUENCE:
            return as<kivTLibSequenceDef>(def)->bound;
        default:
            return as<kivTLibArrayDef>(def)->length;
    }
}

class Check {
  public:
    Check(kivTLib *first, kivTLib *second) : first_(first), second_(second) {}

    kivResult definitions(const kivTLibDef *a, const kivTLibDef *b) {
        if (!sameText(a->repoId, b->repoId)) return KIV_E_INVALID_ARG;
        if (a->kind != b->kind) return KIV_E_INCOMPATIBLE;
        switch (a->kind) {
            case KIV_DEF_MODULE:
                return verdict(sameNameAndScope(a, b));
            case KIV_DEF_INTERFACE:
                return interfaces(as<kivTLibInterfaceDef>(a), as<kivTLibInterfaceDef>(b));
            case KIV_DEF_CONSTANT:
                return constants(as<kivTLibConstantDef>(a), as<kivTLibConstantDef>(b));
            case KIV_DEF_STRUCT:
                return structs(as<kivTLibStructDef>(a), as<kivTLibStructDef>(b));
            case KIV_DEF_UNION:
                return unions(as<kivTLibUnionDef>(a), as<kivTLibUnionDef>(b));
            case KIV_DEF_ENUM:
                return enums(as<kivTLibEnumDef>(a), as<kivTLibEnumDef>(b));
            case KIV_DEF_ALIAS:
                if (!sameNameAndScope(a, b)) return KIV_E_INCOMPATIBLE;
                return types(as<kivTLibAliasDef>(a)->type, as<kivTLibAliasDef>(b)->type);
            case KIV_DEF_STRING:
            case KIV_DEF_WSTRING:
                return verdict(as<kivTLibStringDef>(a)->bound == as<kivTLibStringDef>(b)->bound);
            case KIV_DEF_SEQUENCE: {
                auto *x = as<kivTLibSequenceDef>(a), *y = as<kivTLibSequenceDef>(b);
                if (x->bound != y->bound) return KIV_E_INCOMPATIBLE;
                return types(x->element, y->element);
            }
            case KIV_DEF_ARRAY: {
                auto *x = as<kivTLibArrayDef>(a), *y = as<kivTLibArrayDef>(b);
                if (x->length != y->length) return KIV_E_INCOMPATIBLE;
                return types(x->element, y->element);
            }
            default:
                brokenInvariant();
        }
    }

  private:
    static bool sameNameAndScope(const kivTLibDef *a, const kivTLibDef *b) {
        return sameText(a->name, b->name) && sameText(a->scopeId, b->scopeId);
    }

    kivResult interfaces(const kivTLibInterfaceDef *a, const kivTLibInterfaceDef *b) {
        if (!sameNameAndScope(&a->header, &b->header)) return KIV_E_INCOMPATIBLE;
        // A forward declaration promises only the name and the scope.
        if ((a->header.flags | b->header.flags) & KIV_DEF_FORWARD) return kCompatible;
        if (!sameText(a->baseId, b->baseId) ||
            !sameIdSet(contentsOf(&a->header), contentsOf(&b->header)))
            return KIV_E_INCOMPATIBLE;
        if (a->memberCount != b->memberCount) return KIV_E_INCOMPATIBLE;
        for (uint32_t i = 0; i < a->memberCount; ++i)
            if (kivResult rc = members(a->members[i], b->members[i])) return rc;
        return kCompatible;
    }

    // Interface members by position; their flags belong to the caller and are not compared.
    kivResult members(const kivTLibMember &a, const kivTLibMember &b) {
        if (a.kind != b.kind || !sameText(a.name, b.name)) return KIV_E_INCOMPATIBLE;
        if (a.kind != KIV_MEMBER_ATTRIBUTE && a.kind != KIV_MEMBER_OPERATION) brokenInvariant();
        if (kivResult rc = types(a.type, b.type)) return rc;
        if (a.kind == KIV_MEMBER_ATTRIBUTE) return kCompatible;
        if (a.paramCount != b.paramCount) return KIV_E_INCOMPATIBLE;
        for (uint32_t i = 0; i < a.paramCount; ++i) {
            const kivTLibParam &p = a.params[i], &q = b.params[i];
            if (!sameText(p.name, q.name)) return KIV_E_INCOMPATIBLE;
            if (kivResult rc = types(p.type, q.type)) return rc;
            if (p.direction != q.direction) return KIV_E_INCOMPATIBLE;
        }
        return kCompatible;
    }

    kivResult constants(const kivTLibConstantDef *a, const kivTLibConstantDef *b) {
        if (!sameNameAndScope(&a->header, &b->header)) return KIV_E_INCOMPATIBLE;
        if (kivResult rc = types(a->type, b->type)) return rc;
        // The record reader lets a constant without a value (tag 0) through, so a file can bring
        // one: it compares like a default union label rather than stopping the process.
        return verdict(a->value.tag == b->value.tag && sameValue(a->value, b->value));
    }

    kivResult structs(const kivTLibStructDef *a, const kivTLibStructDef *b) {
        if (!sameNameAndScope(&a->header, &b->header) ||
            !sameIdSet(contentsOf(&a->header), contentsOf(&b->header)) ||
            a->memberCount != b->memberCount)
            return KIV_E_INCOMPATIBLE;
        for (uint32_t i = 0; i < a->memberCount; ++i) {
            if (!sameText(a->members[i].name, b->members[i].name)) return KIV_E_INCOMPATIBLE;
            if (kivResult rc = types(a->members[i].type, b->members[i].type)) return rc;
        }
        return kCompatible;
    }

    kivResult unions(const kivTLibUnionDef *a, const kivTLibUnionDef *b) {
        if (!sameNameAndScope(&a->header, &b->header) ||
            !sameIdSet(contentsOf(&a->header), contentsOf(&b->header)))
            return KIV_E_INCOMPATIBLE;
        if (kivResult rc = types(a->discriminator, b->discriminator)) return rc;
        if (a->caseCount != b->caseCount) return KIV_E_INCOMPATIBLE;
        auto [x, y] = pairedByName(a->cases, b->cases, a->caseCount);
        for (uint32_t i = 0; i < a->caseCount; ++i) {
            if (!sameText(x[i].name, y[i].name)) return KIV_E_INCOMPATIBLE;
            if (kivResult rc = types(x[i].type, y[i].type)) return rc;
            if (x[i].label.tag != y[i].label.tag || !sameValue(x[i].label, y[i].label))
                return KIV_E_INCOMPATIBLE;
        }
        return kCompatible;
    }

    kivResult enums(const kivTLibEnumDef *a, const kivTLibEnumDef *b) {
        if (!sameNameAndScope(&a->header, &b->header) || a->memberCount != b->memberCount)
            return KIV_E_INCOMPATIBLE;
        auto [x, y] = pairedByName(a->members, b->members, a->memberCount);
        for (uint32_t i = 0; i < a->memberCount; ++i)
            if (!sameText(x[i].name, y[i].name) || x[i].value != y[i].value)
                return KIV_E_INCOMPATIBLE;
        return kCompatible;
    }

    kivResult types(const kivTLibTypeRef &a, const kivTLibTypeRef &b) {
        if (typeIdRule(a.tag) == TypeId::Invalid) brokenInvariant();
        if (a.tag != b.tag) return KIV_E_INCOMPATIBLE;
        switch (a.tag) {
            case KIV_TYPE_STRUCT:
            case KIV_TYPE_UNION:
            case KIV_TYPE_ENUM:
            case KIV_TYPE_ALIAS:
            case KIV_TYPE_INTERFACE:
                return verdict(sameText(a.repoId, b.repoId));
            case KIV_TYPE_STRING:
            case KIV_TYPE_WSTRING:
                if (!a.repoId || !b.repoId) return verdict(!a.repoId && !b.repoId);  // unbounded
                return sizes(a, b);
            case KIV_TYPE_SEQUENCE:
            case KIV_TYPE_ARRAY:
                return sizes(a, b);
            default:
                return kCompatible;
        }
    }

    // Resolves both references, each in its own library, and compares bound or length. The
    // element types of the named definitions are compared when those are checked themselves.
    kivResult sizes(const kivTLibTypeRef &a, const kivTLibTypeRef &b) {
        kivTLibDef *x = nullptr, *y = nullptr;
        if (kivResult rc = kivTLibGetDefinition(first_, a.repoId, &x)) return rc;
        if (kivResult rc = kivTLibGetDefinition(second_, b.repoId, &y)) return rc;
        kivTLibDefKind expected = referencedKind(a.tag);
        if (x->kind != expected || y->kind != expected) return KIV_E_BAD_KIND;
        return verdict(sizeOf(x) == sizeOf(y));
    }

    kivTLib *first_;
    kivTLib *second_;
};

}  // namespace

}  // namespace kiv::tlib

extern "C" KIV_API kivResult kivTLibCheckCompatDef(kivTLib *tlib1, const kivTLibDef *def1,
                                                   kivTLib *tlib2, const kivTLibDef *def2) {
    if (!def1 || !def2) return KIV_E_INVALID_ARG;
    return kiv::tlib::Check(tlib1, tlib2).definitions(def1, def2);
}
