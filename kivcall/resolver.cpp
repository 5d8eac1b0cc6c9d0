// SPDX-License-Identifier: Apache-2.0
// Definitions of a type library turned into descriptions with native layout.
#include "resolver.h"

#include <array>
#include <cstring>

#include "catalog.h"

namespace kcall {

namespace {

// Deeper nesting than this (of aliases, members, scopes) is taken for a loop or an attack.
constexpr int kMaxDepth = 200;
// The largest native form of one value; larger arrays are refused rather than allocated.
constexpr size_t kMaxNativeSize = size_t{64} << 20;

size_t alignUp(size_t n, size_t a) {
    return (n + a - 1) / a * a;
}

struct Basic {
    uint32_t kind;
    const char *name;
    size_t size;
};

constexpr Basic kBasics[] = {
    {KIV_TYPE_VOID, "void", 0},
    {KIV_TYPE_BOOLEAN, "boolean", 1},
    {KIV_TYPE_OCTET, "octet", 1},
    {KIV_TYPE_CHAR, "char", 1},
    {KIV_TYPE_WCHAR, "wchar", 2},
    {KIV_TYPE_SHORT, "short", 2},
    {KIV_TYPE_USHORT, "unsigned short", 2},
    {KIV_TYPE_LONG, "long", 4},
    {KIV_TYPE_ULONG, "unsigned long", 4},
    {KIV_TYPE_LONGLONG, "long long", 8},
    {KIV_TYPE_ULONGLONG, "unsigned long long", 8},
    {KIV_TYPE_FLOAT, "float", 4},
    {KIV_TYPE_DOUBLE, "double", 8},
    {KIV_TYPE_STRING, "string", sizeof(char *)},
    {KIV_TYPE_WSTRING, "wstring", sizeof(kivWChar *)},
    {KIV_TYPE_DECIMAL32, "decimal32", 4},
    {KIV_TYPE_DECIMAL64, "decimal64", 8},
    {KIV_TYPE_DECIMAL128, "decimal128", 16},
};

std::array<Type, 27> makeBasics() {
    std::array<Type, 27> types{};
    for (const Basic &b : kBasics) {
        Type &t = types[b.kind];
        t.kind = b.kind;
        t.name = b.name;
        t.size = b.size;
        t.align = b.kind == KIV_TYPE_DECIMAL128 ? 8 : (b.size ? b.size : 1);
        t.layout = LayoutState::done;
    }
    return types;
}

bool isDiscriminatorKind(uint32_t kind) {
    return (kind >= KIV_TYPE_BOOLEAN && kind <= KIV_TYPE_ULONGLONG) || kind == KIV_TYPE_ENUM;
}

// A union label or constant as the discriminator's integer value.
bool labelValue(const kivTLibValue &v, int64_t &out) {
    switch (v.tag) {
        case KIV_TYPE_BOOLEAN:
        case KIV_TYPE_OCTET:
        case KIV_TYPE_CHAR:
            out = v.u8;
            return true;
        case KIV_TYPE_WCHAR:
        case KIV_TYPE_USHORT:
            out = v.u16;
            return true;
        case KIV_TYPE_SHORT:
            out = static_cast<int16_t>(v.u16);
            return true;
        case KIV_TYPE_LONG:
            out = static_cast<int32_t>(v.u32);
            return true;
        case KIV_TYPE_ULONG:
        case KIV_TYPE_ENUM:
            out = v.u32;
            return true;
        case KIV_TYPE_LONGLONG:
        case KIV_TYPE_ULONGLONG:
            out = static_cast<int64_t>(v.u64);
            return true;
        default:
            return false;
    }
}

kivResult layoutError(const char *what, const char *id) {
    return fail(KCALL_E_LAYOUT, std::string(id ? id : "?") + ": " + what);
}

}  // namespace

const Type *basicType(uint32_t kind) {
    static const std::array<Type, 27> basics = makeBasics();
    if (kind >= basics.size() || basics[kind].kind == 0) return nullptr;
    return &basics[kind];
}

const Interface *builtinInterface(const char *iid) {
    static const std::unique_ptr<Interface> unknown = [] {
        auto i = std::make_unique<Interface>();  // value-initialised: no base, no members
        i->iid = KIV_IID_IUNKNOWN;
        i->name = "kiv::IUnknown";
        i->slotCount = 7;
        i->library = "";
        return i;
    }();
    return std::strcmp(iid, KIV_IID_IUNKNOWN) == 0 ? unknown.get() : nullptr;
}

Type &Resolver::newType(const char *repoId, uint32_t kind) {
    Type &t = model_.types.emplace_back();
    t.kind = kind;
    t.repoId = repoId ? model_.intern(repoId) : nullptr;
    if (repoId) model_.typeById[repoId] = &t;
    return t;
}

kivResult Resolver::definition(const char *id, uint32_t kind, const kivTLibDef *&def) {
    if (!id) return layoutError("type reference without a repository id", "");
    kivTLibDef *found = nullptr;
    kivResult rc = kivTLibGetDefinition(tlib_, id, &found);
    if (KIV_FAILED(rc) || !found)
        return fail(KIV_FAILED(rc) ? rc : KIV_E_UNKNOWN_REPOID,
                    std::string(id) + ": not defined in " + model_.path);
    if (found->kind != kind) return layoutError("definition of another kind than its tag", id);
    def = found;
    return 0;
}

std::string Resolver::scopedName(const kivTLibDef *def) {
    std::string name = def->name ? def->name : "";
    const char *scope = def->scopeId;
    for (int depth = 0; scope && depth < kMaxDepth; ++depth) {
        if (!std::strcmp(scope, KIV_TLIB_ROOT_ID) ||
            !std::strcmp(scope, KIV_TLIB_ANONYMOUS_SCOPE_ID))
            break;
        kivTLibDef *outer = nullptr;
        if (KIV_FAILED(kivTLibGetDefinition(tlib_, scope, &outer)) || !outer || !outer->name) break;
        name = std::string(outer->name) + "::" + name;
        scope = outer->scopeId;
    }
    return name;
}

kivResult Resolver::typeOf(const kivTLibTypeRef &ref, const kcallType *&out, int depth) {
    if (depth > kMaxDepth) return layoutError("types nested too deeply", ref.repoId);
    const uint32_t tag = ref.tag;
    if ((tag >= KIV_TYPE_VOID && tag <= KIV_TYPE_DOUBLE) || tag >= KIV_TYPE_DECIMAL32) {
        out = basicType(tag);
        if (!out) return layoutError("invalid type tag", ref.repoId);
        return 0;
    }
    if ((tag == KIV_TYPE_STRING || tag == KIV_TYPE_WSTRING) && !ref.repoId) {
        out = basicType(tag);
        return 0;
    }
    if (tag == KIV_TYPE_INTERFACE) return interfaceRef(ref.repoId, out, depth);
    if (ref.repoId) {
        auto known = model_.typeById.find(ref.repoId);
        if (known != model_.typeById.end()) {
            if (known->second->kind != tag && tag != KIV_TYPE_ALIAS)
                return layoutError("one id used with two type tags", ref.repoId);
            if (known->second->layout == LayoutState::failed)
                return layoutError("type cannot be laid out", ref.repoId);
            out = known->second;
            return 0;
        }
    }
    const kivTLibDef *def = nullptr;
    kivResult rc = 0;
    switch (tag) {
        case KIV_TYPE_ALIAS:
            if (KIV_FAILED(rc = definition(ref.repoId, KIV_DEF_ALIAS, def))) return rc;
            return typeOf(reinterpret_cast<const kivTLibAliasDef *>(def)->type, out, depth + 1);
        case KIV_TYPE_STRING:
        case KIV_TYPE_WSTRING: {
            const bool narrow = tag == KIV_TYPE_STRING;
            rc = definition(ref.repoId, narrow ? KIV_DEF_STRING : KIV_DEF_WSTRING, def);
            if (KIV_FAILED(rc)) return rc;
            Type &t = newType(ref.repoId, tag);
            t.bound = reinterpret_cast<const kivTLibStringDef *>(def)->bound;
            std::string base = narrow ? "string" : "wstring";
            t.name = model_.intern(t.bound ? base + "<" + std::to_string(t.bound) + ">" : base);
            t.size = t.align = sizeof(void *);
            t.layout = LayoutState::done;
            out = &t;
            return 0;
        }
        case KIV_TYPE_SEQUENCE:
        case KIV_TYPE_ARRAY: {
            const bool sequence = tag == KIV_TYPE_SEQUENCE;
            rc = definition(ref.repoId, sequence ? KIV_DEF_SEQUENCE : KIV_DEF_ARRAY, def);
            if (KIV_FAILED(rc)) return rc;
            Type &t = newType(ref.repoId, tag);
            const kivTLibTypeRef &element =
                sequence ? reinterpret_cast<const kivTLibSequenceDef *>(def)->element
                         : reinterpret_cast<const kivTLibArrayDef *>(def)->element;
            t.bound = sequence ? reinterpret_cast<const kivTLibSequenceDef *>(def)->bound
                               : reinterpret_cast<const kivTLibArrayDef *>(def)->length;
            if (KIV_FAILED(rc = typeOf(element, t.element, depth + 1)) ||
                t.element->kind == KIV_TYPE_VOID || (!sequence && t.bound == 0)) {
                t.layout = LayoutState::failed;
                return KIV_FAILED(rc) ? rc : layoutError("void element or empty array", ref.repoId);
            }
            std::string e = t.element->name ? t.element->name : "?";
            t.name = model_.intern(
                sequence ? "sequence<" + e + (t.bound ? ", " + std::to_string(t.bound) : "") + ">"
                         : e + "[" + std::to_string(t.bound) + "]");
            out = &t;
            return 0;
        }
        case KIV_TYPE_STRUCT:
        case KIV_TYPE_UNION:
        case KIV_TYPE_ENUM: {
            const uint32_t kind = tag == KIV_TYPE_STRUCT  ? KIV_DEF_STRUCT
                                  : tag == KIV_TYPE_UNION ? KIV_DEF_UNION
                                                          : KIV_DEF_ENUM;
            if (KIV_FAILED(rc = definition(ref.repoId, kind, def))) return rc;
            Type &t = newType(ref.repoId, tag);
            t.name = model_.intern(scopedName(def));
            rc = tag == KIV_TYPE_STRUCT  ? structType(def, t, depth)
                 : tag == KIV_TYPE_UNION ? unionType(def, t, depth)
                                         : enumType(def, t);
            if (KIV_FAILED(rc)) {
                t.layout = LayoutState::failed;
                return rc;
            }
            out = &t;
            return 0;
        }
        default:
            return layoutError("invalid type tag", ref.repoId);
    }
}

kivResult Resolver::structType(const kivTLibDef *def, Type &t, int depth) {
    const auto *s = reinterpret_cast<const kivTLibStructDef *>(def);
    if (s->memberCount == 0 || !s->members)
        return layoutError("structure without members", t.repoId);
    t.fieldStore.resize(s->memberCount);
    for (uint32_t i = 0; i < s->memberCount; ++i) {
        kcallField &f = t.fieldStore[i];
        f.name = model_.intern(s->members[i].name ? s->members[i].name : "");
        kivResult rc = typeOf(s->members[i].type, f.type, depth + 1);
        if (KIV_FAILED(rc)) return rc;
        if (f.type->kind == KIV_TYPE_VOID) return layoutError("void structure member", t.repoId);
    }
    t.fieldCount = s->memberCount;
    t.fields = t.fieldStore.data();
    return 0;
}

kivResult Resolver::unionType(const kivTLibDef *def, Type &t, int depth) {
    const auto *u = reinterpret_cast<const kivTLibUnionDef *>(def);
    if (u->caseCount == 0 || !u->cases) return layoutError("union without cases", t.repoId);
    kivResult rc = typeOf(u->discriminator, t.discriminator, depth + 1);
    if (KIV_FAILED(rc)) return rc;
    if (!isDiscriminatorKind(t.discriminator->kind))
        return layoutError("discriminator is not an integer, char, boolean or enumeration",
                           t.repoId);
    t.fieldStore.resize(u->caseCount);
    for (uint32_t i = 0; i < u->caseCount; ++i) {
        const kivTLibUnionCase &c = u->cases[i];
        kcallField &f = t.fieldStore[i];
        f.name = model_.intern(c.name ? c.name : "");
        if (KIV_FAILED(rc = typeOf(c.type, f.type, depth + 1))) return rc;
        if (f.type->kind == KIV_TYPE_VOID) return layoutError("void union case", t.repoId);
        if (c.label.tag == KIV_VALUE_NONE)
            f.isDefault = 1;
        else if (!labelValue(c.label, f.label))
            return layoutError("union label of a wrong tag", t.repoId);
    }
    t.fieldCount = u->caseCount;
    t.fields = t.fieldStore.data();
    return 0;
}

kivResult Resolver::enumType(const kivTLibDef *def, Type &t) {
    const auto *e = reinterpret_cast<const kivTLibEnumDef *>(def);
    if (e->memberCount == 0 || !e->members)
        return layoutError("enumeration without members", t.repoId);
    t.fieldStore.resize(e->memberCount);
    for (uint32_t i = 0; i < e->memberCount; ++i) {
        t.fieldStore[i].name = model_.intern(e->members[i].name ? e->members[i].name : "");
        t.fieldStore[i].label = e->members[i].value;
    }
    t.fieldCount = e->memberCount;
    t.fields = t.fieldStore.data();
    t.size = t.align = 4;
    t.layout = LayoutState::done;
    return 0;
}

kivResult Resolver::interfaceRef(const char *iid, const kcallType *&out, int depth) {
    if (!iid) return layoutError("interface reference without an id", "");
    std::string key = std::string("interface ") + iid;
    auto known = model_.typeById.find(key);
    if (known != model_.typeById.end()) {
        out = known->second;
        return 0;
    }
    Type &t = model_.types.emplace_back();
    model_.typeById[key] = &t;
    t.kind = KIV_TYPE_INTERFACE;
    t.repoId = model_.intern(iid);
    t.size = t.align = sizeof(void *);
    t.layout = LayoutState::done;
    t.name = t.repoId;
    out = &t;
    if (const Interface *builtin = builtinInterface(iid)) {
        t.iface = builtin;
        t.name = builtin->name;
        return 0;
    }
    kivTLibDef *def = nullptr;
    if (KIV_FAILED(kivTLibGetDefinition(tlib_, iid, &def)) || !def) return 0;  // another library's
    if (def->kind != KIV_DEF_INTERFACE) return layoutError("interface tag on another kind", iid);
    t.name = model_.intern(scopedName(def));
    if (def->flags & KIV_DEF_FORWARD) return 0;
    Interface *iface = nullptr;
    // A referenced interface that cannot be described still passes as a pointer.
    if (KIV_SUCCEEDED(resolveInterfaceAt(iid, iface, depth + 1))) t.iface = iface;
    return 0;
}

kivResult Resolver::layout(Type &t, int depth) {
    if (t.layout == LayoutState::done) return 0;
    if (t.layout == LayoutState::failed) return layoutError("type cannot be laid out", t.repoId);
    if (t.layout == LayoutState::inProgress)
        return layoutError("a structure or union contains itself", t.repoId);
    if (depth > kMaxDepth) return layoutError("types nested too deeply", t.repoId);
    t.layout = LayoutState::inProgress;
    auto element = [&](const kcallType *e) {
        return layout(*const_cast<Type *>(asType(e)), depth + 1);
    };
    kivResult rc = 0;
    size_t size = 0, align = 1;
    switch (t.kind) {
        case KIV_TYPE_SEQUENCE:
            // Only a pointer to the elements is held: a sequence may contain its own structure.
            t.size = 16;
            t.align = 8;
            t.layout = LayoutState::done;
            if (KIV_FAILED(rc = element(t.element))) t.layout = LayoutState::failed;
            return rc;
        case KIV_TYPE_ARRAY:
            if (KIV_FAILED(rc = element(t.element))) break;
            if (t.element->size && t.bound > kMaxNativeSize / t.element->size) {
                rc = layoutError("array too large", t.repoId);
                break;
            }
            size = t.element->size * t.bound;
            align = t.element->align;
            break;
        case KIV_TYPE_STRUCT:
            t.offsets.resize(t.fieldCount);
            for (uint32_t i = 0; i < t.fieldCount && KIV_SUCCEEDED(rc); ++i) {
                if (KIV_FAILED(rc = element(t.fields[i].type))) break;
                const kcallType *m = t.fields[i].type;
                size = alignUp(size, m->align);
                t.offsets[i] = size;
                size += m->size;
                align = std::max(align, m->align);
                if (size > kMaxNativeSize) rc = layoutError("structure too large", t.repoId);
            }
            size = alignUp(size, align);
            break;
        case KIV_TYPE_UNION: {
            if (KIV_FAILED(rc = element(t.discriminator))) break;
            size_t caseSize = 0, caseAlign = 1;
            for (uint32_t i = 0; i < t.fieldCount; ++i) {
                if (KIV_FAILED(rc = element(t.fields[i].type))) break;
                caseSize = std::max(caseSize, t.fields[i].type->size);
                caseAlign = std::max(caseAlign, t.fields[i].type->align);
            }
            if (KIV_FAILED(rc)) break;
            t.unionOffset = alignUp(t.discriminator->size, caseAlign);
            align = std::max(t.discriminator->align, caseAlign);
            size = alignUp(t.unionOffset + caseSize, align);
            if (size > kMaxNativeSize) rc = layoutError("union too large", t.repoId);
            break;
        }
        default:
            rc = layoutError("type without a layout", t.repoId);
    }
    if (KIV_FAILED(rc)) {
        t.layout = LayoutState::failed;
        return rc;
    }
    t.size = size;
    t.align = align;
    t.layout = LayoutState::done;
    return 0;
}

kivResult Resolver::resolveInterface(const char *iid, Interface *&out) {
    return resolveInterfaceAt(iid, out, 0);
}

kivResult Resolver::resolveInterfaceAt(const char *iid, Interface *&out, int depth) {
    if (depth > kMaxDepth) return layoutError("interfaces nested too deeply", iid);
    auto known = model_.interfaceById.find(iid);
    if (known != model_.interfaceById.end()) {
        Interface *i = known->second;
        if (i->failed) return layoutError("interface cannot be described", iid);
        out = i;  // may still be resolving: a reference to it is all that is needed then
        return 0;
    }
    const kivTLibDef *def = nullptr;
    kivResult rc = definition(iid, KIV_DEF_INTERFACE, def);
    if (KIV_FAILED(rc)) return rc;
    if (def->flags & KIV_DEF_FORWARD)
        return fail(KIV_E_UNKNOWN_REPOID, std::string(iid) + ": only declared in " + model_.path);
    Interface &iface = model_.interfaces.emplace_back();
    model_.interfaceById[iid] = &iface;
    iface.model = &model_;
    iface.iid = model_.intern(iid);
    iface.name = model_.intern(scopedName(def));
    iface.library = model_.path.c_str();
    iface.resolving = true;
    rc = members(def, iface, depth);
    iface.resolving = false;
    if (KIV_FAILED(rc)) {
        iface.failed = true;
        return rc;
    }
    out = &iface;
    return 0;
}

kivResult Resolver::members(const kivTLibDef *def, Interface &iface, int depth) {
    const auto *d = reinterpret_cast<const kivTLibInterfaceDef *>(def);
    uint32_t slot = 7;
    if (d->baseId && std::strcmp(d->baseId, KIV_IID_IUNKNOWN) != 0) {
        Interface *base = nullptr;
        kivResult rc = resolveInterfaceAt(d->baseId, base, depth + 1);
        if (KIV_FAILED(rc)) return rc;
        if (base->resolving) return layoutError("base interfaces form a loop", iface.iid);
        iface.base = base;
        iface.memberStore = base->memberStore;
        for (const kcallMember &m : base->memberStore)
            iface.paramStore.emplace_back(m.params, m.params + m.paramCount);
        slot = base->slotCount;
    }
    for (uint32_t i = 0; i < d->memberCount; ++i) {
        const kivTLibMember &src = d->members[i];
        kcallMember m{};
        m.name = model_.intern(src.name ? src.name : "");
        m.kind = src.kind;
        m.flags = src.flags;
        m.declaredIn = iface.iid;
        m.slot = slot;
        kivResult rc = typeOf(src.type, m.type, depth + 1);
        if (KIV_FAILED(rc)) return rc;
        if (KIV_FAILED(rc = layout(*const_cast<Type *>(asType(m.type)), depth + 1))) return rc;
        std::vector<kcallParam> params;
        if (src.kind == KIV_MEMBER_ATTRIBUTE) {
            if (m.type->kind == KIV_TYPE_VOID) return layoutError("void attribute", iface.iid);
            slot += (src.flags & KIV_MEMBER_READONLY) ? 1 : 2;
        } else if (src.kind == KIV_MEMBER_OPERATION) {
            if (src.paramCount && !src.params) return layoutError("missing parameters", iface.iid);
            for (uint32_t p = 0; p < src.paramCount; ++p) {
                kcallParam param{};
                param.name = model_.intern(src.params[p].name ? src.params[p].name : "");
                param.direction = src.params[p].direction;
                if (param.direction < KIV_PARAM_IN || param.direction > KIV_PARAM_INOUT)
                    return layoutError("parameter of an unknown direction", iface.iid);
                if (KIV_FAILED(rc = typeOf(src.params[p].type, param.type, depth + 1))) return rc;
                if (param.type->kind == KIV_TYPE_VOID)
                    return layoutError("void parameter", iface.iid);
                if (KIV_FAILED(rc = layout(*const_cast<Type *>(asType(param.type)), depth + 1)))
                    return rc;
                params.push_back(param);
            }
            slot += 1;
        } else {
            return layoutError("member of an unknown kind", iface.iid);
        }
        auto &stored = iface.paramStore.emplace_back(std::move(params));
        m.paramCount = static_cast<uint32_t>(stored.size());
        iface.memberStore.push_back(m);
    }
    // Parameter arrays live in paramStore (a deque: they never move); point members at them.
    for (size_t i = 0; i < iface.memberStore.size(); ++i)
        iface.memberStore[i].params = iface.paramStore[i].data();
    iface.slotCount = slot;
    iface.memberCount = static_cast<uint32_t>(iface.memberStore.size());
    iface.members = iface.memberStore.data();
    return 0;
}

kivResult Resolver::resolveNamed(const char *repoId, Type *&out) {
    kivTLibDef *def = nullptr;
    kivResult rc = kivTLibGetDefinition(tlib_, repoId, &def);
    if (KIV_FAILED(rc) || !def)
        return fail(KIV_E_UNKNOWN_REPOID, std::string(repoId) + ": unknown");
    static constexpr uint32_t tagOfKind[] = {0,
                                             0,
                                             KIV_TYPE_INTERFACE,
                                             0,
                                             KIV_TYPE_STRUCT,
                                             KIV_TYPE_UNION,
                                             KIV_TYPE_ENUM,
                                             KIV_TYPE_ALIAS,
                                             KIV_TYPE_STRING,
                                             KIV_TYPE_WSTRING,
                                             KIV_TYPE_SEQUENCE,
                                             KIV_TYPE_ARRAY};
    if (def->kind >= std::size(tagOfKind) || tagOfKind[def->kind] == 0)
        return fail(KIV_E_BAD_KIND, std::string(repoId) + ": not a type");
    const kcallType *t = nullptr;
    kivTLibTypeRef ref{tagOfKind[def->kind], repoId};
    if (KIV_FAILED(rc = typeOf(ref, t, 0))) return rc;
    Type *type = const_cast<Type *>(asType(t));
    if (KIV_FAILED(rc = layout(*type, 0))) return rc;
    out = type;
    return 0;
}

}  // namespace kcall
