// SPDX-License-Identifier: Apache-2.0
// The creating operations. Each runs the same frame: out-parameter cleared, read-only test,
// argument checks, existence of the repository id, scope lookup, build, listing in the scope,
// the handle's two tables, auto-flush. The order of the checks decides which code a call with
// several faults gets, and nothing is built before all of them have passed, so a refused call
// leaves the library as it was.
#include <initializer_list>

#include "core/hash.h"
#include "tlib/handle.h"
#include "tlib/model.h"

namespace kiv::tlib {

namespace {

constexpr uint32_t kindBit(kivTLibDefKind kind) {
    return 1u << kind;
}

// The scopes that each family of definitions may be created in.
constexpr uint32_t kModuleScope = kindBit(KIV_DEF_MODULE);
constexpr uint32_t kModuleOrInterface = kModuleScope | kindBit(KIV_DEF_INTERFACE);
constexpr uint32_t kAnyScope =
    kModuleOrInterface | kindBit(KIV_DEF_STRUCT) | kindBit(KIV_DEF_UNION);

constexpr unsigned kMaxParams = 255;  // the record keeps the count in one byte

uint32_t newDefinitionFlags(uint32_t callerFlags) {
    return (callerFlags & kCallerFlagsMask) | KIV_DEF_MODIFIED;
}

bool anyNull(std::initializer_list<const void *> arguments) {
    for (const void *a : arguments)
        if (!a) return true;
    return false;
}

// Clears `out` and refuses a missing or read-only handle.
kivResult beginCreate(kivTLib *tlib, kivTLibDef **out) {
    if (out) *out = nullptr;
    if (!tlib) return KIV_E_INVALID_ARG;
    return isReadOnly(tlib) ? KIV_E_READ_ONLY : 0;
}

// 0 when no definition has `repoId`; KIV_E_REPOID_EXISTS when one has; a failed lookup's code.
kivResult requireFreeId(kivTLib *tlib, const char *repoId) {
    kivResult rc = kivTLibGetDefinition(tlib, repoId, nullptr);
    if (rc == 0) return KIV_E_REPOID_EXISTS;
    return rc == KIV_E_UNKNOWN_REPOID ? 0 : rc;
}

kivResult findScope(kivTLib *tlib, const char *scopeId, uint32_t allowedKinds, kivTLibDef **scope) {
    kivResult rc = kivTLibGetDefinition(tlib, scopeId, scope);
    if (rc == KIV_E_UNKNOWN_REPOID) return KIV_E_UNKNOWN_SCOPE;
    if (rc) return rc;
    return ((*scope)->kind < 32 && (allowedKinds & kindBit((*scope)->kind))) ? 0
                                                                             : KIV_E_BAD_SCOPE_KIND;
}

// The end of every creation: the definition is listed in its scope (none for the root),
// entered into both tables, and flushed when the handle auto-flushes. A failed flush leaves it
// created and pending; the caller then gets the flush's code and no definition.
kivResult publish(kivTLib *tlib, kivTLibDef *scope, kivTLibDef *def, kivTLibDef **out) {
    if (scope) addToScope(tlib, scope, def);
    enterDefinition(tlib, def);
    if (kivResult rc = autoFlush(tlib)) return rc;
    if (out) *out = def;
    return 0;
}

constexpr auto kNoContentCheck = [] { return kivResult{0}; };

// The whole frame of a named definition: handle, required names, the content check (each
// KIV_E_INVALID_ARG), free id, scope, build, publish.
template <class Check, class Build>
kivResult createNamed(kivTLib *tlib, kivTLibDef **out, const char *name, const char *repoId,
                      const char *scopeId, uint32_t allowedScopes, Check check, Build build) {
    if (kivResult rc = beginCreate(tlib, out)) return rc;
    if (anyNull({name, repoId, scopeId}) || check()) return KIV_E_INVALID_ARG;
    if (kivResult rc = requireFreeId(tlib, repoId)) return rc;
    kivTLibDef *scope = nullptr;
    if (kivResult rc = findScope(tlib, scopeId, allowedScopes, &scope)) return rc;
    return publish(tlib, scope, &build()->header, out);
}

// The same for the anonymous kinds, which always go into the anonymous-types scope.
template <class Check, class Build>
kivResult createAnonymous(kivTLib *tlib, kivTLibDef **out, const char *repoId, Check check,
                          Build build) {
    if (kivResult rc = beginCreate(tlib, out)) return rc;
    if (!repoId || check()) return KIV_E_INVALID_ARG;
    if (kivResult rc = requireFreeId(tlib, repoId)) return rc;
    return publish(tlib, &tlib->anonymousScope->header, &build()->header, out);
}

// ---- Argument checks (each KIV_E_INVALID_ARG on the first fault, in element order) ----------

kivResult checkOperation(const kivTLibMember &op) {
    if (checkTypeRef(&op.type, true)) return KIV_E_INVALID_ARG;
    if (op.paramCount > kMaxParams || (op.paramCount && !op.params)) return KIV_E_INVALID_ARG;
    for (uint32_t i = 0; i < op.paramCount; ++i) {
        const kivTLibParam &p = op.params[i];
        if (!p.name || checkTypeRef(&p.type, false)) return KIV_E_INVALID_ARG;
        if (p.direction < KIV_PARAM_IN || p.direction > KIV_PARAM_INOUT) return KIV_E_INVALID_ARG;
    }
    return 0;
}

kivResult checkInterfaceMembers(uint32_t count, const kivTLibMember *members) {
    if (count && !members) return KIV_E_INVALID_ARG;
    for (uint32_t i = 0; i < count; ++i) {
        const kivTLibMember &m = members[i];
        if (!m.name) return KIV_E_INVALID_ARG;
        if (m.kind == KIV_MEMBER_ATTRIBUTE) {
            if (checkTypeRef(&m.type, false)) return KIV_E_INVALID_ARG;
        } else if (m.kind == KIV_MEMBER_OPERATION) {
            if (checkOperation(m)) return KIV_E_INVALID_ARG;
        } else {
            return KIV_E_INVALID_ARG;
        }
    }
    return 0;
}

kivResult checkStructMembers(uint32_t count, const kivTLibStructMember *members) {
    if (count == 0 || !members) return KIV_E_INVALID_ARG;
    for (uint32_t i = 0; i < count; ++i)
        if (!members[i].name || checkTypeRef(&members[i].type, false)) return KIV_E_INVALID_ARG;
    return 0;
}

kivResult checkEnumMembers(uint32_t count, const kivTLibEnumMember *members) {
    if (count == 0 || !members) return KIV_E_INVALID_ARG;
    for (uint32_t i = 0; i < count; ++i)
        if (!members[i].name) return KIV_E_INVALID_ARG;
    return 0;
}

// Duplicate labels and several default cases are allowed.
kivResult checkUnion(const kivTLibTypeRef *discriminator, uint32_t caseCount,
                     const kivTLibUnionCase *cases) {
    if (caseCount == 0 || !cases) return KIV_E_INVALID_ARG;
    if (checkTypeRef(discriminator, false) || !isDiscriminatorTag(discriminator->tag))
        return KIV_E_INVALID_ARG;
    for (uint32_t i = 0; i < caseCount; ++i) {
        const kivTLibUnionCase &c = cases[i];
        if (!c.name || checkTypeRef(&c.type, false)) return KIV_E_INVALID_ARG;
        if (c.label.tag == KIV_VALUE_NONE) continue;  // a default case
        if (checkValue(&c.label) || c.label.tag != discriminator->tag) return KIV_E_INVALID_ARG;
    }
    return 0;
}

kivResult checkConstant(const kivTLibTypeRef *type, const kivTLibValue *value) {
    if (checkTypeRef(type, false) || checkValue(value)) return KIV_E_INVALID_ARG;
    return value->tag == type->tag ? 0 : KIV_E_INVALID_ARG;
}

// A base interface must exist and be an interface (a forward declaration will do).
kivResult checkBase(kivTLib *tlib, const char *baseId) {
    kivTLibDef *base = nullptr;
    kivResult rc = kivTLibGetDefinition(tlib, baseId, &base);
    if (rc == KIV_E_UNKNOWN_REPOID) return KIV_E_UNKNOWN_BASE;
    if (rc) return rc;
    return base->kind == KIV_DEF_INTERFACE ? 0 : KIV_E_BAD_BASE;
}

// Fills a forward-declared interface with what its definition brings. Its KIV_DEF_MODIFIED
// bit stays as it was: completing is neither creating it nor adding to its contents; the
// modified set alone makes the next flush write it.
void completeForward(kivTLib *tlib, kivTLibInterfaceDef *fwd, uint32_t callerFlags,
                     const char *baseId, uint32_t memberCount, const kivTLibMember *members) {
    if (baseId) setBaseId(fwd, baseId);
    setInterfaceMembers(fwd, memberCount, members);
    fwd->header.flags = (fwd->header.flags & ~KIV_DEF_FORWARD) | (callerFlags & kCallerFlagsMask);
    tlib->modified.insert(&fwd->header);
}

}  // namespace

}  // namespace kiv::tlib

using namespace kiv::tlib;

extern "C" {

KIV_API kivResult kivTLibCreateRoot(kivTLib *tlib, uint32_t flags, kivTLibDef **out) {
    if (kivResult rc = beginCreate(tlib, out)) return rc;
    kivTLibDef *found = nullptr;
    kivResult rc = kivTLibGetDefinition(tlib, KIV_TLIB_ROOT_ID, &found);
    if (rc == 0) return found->kind == KIV_DEF_MODULE ? KIV_E_REPOID_EXISTS : KIV_E_BAD_KIND;
    if (rc != KIV_E_UNKNOWN_REPOID) return rc;
    auto *root = buildModule("", KIV_TLIB_ROOT_ID, nullptr, newDefinitionFlags(flags));
    return publish(tlib, nullptr, &root->header, out);
}

KIV_API kivResult kivTLibCreateModule(kivTLib *tlib, const char *name, const char *repoId,
                                      const char *scopeId, uint32_t /*flags: not used*/,
                                      kivTLibDef **out) {
    return createNamed(tlib, out, name, repoId, scopeId, kModuleScope, kNoContentCheck,
                       [&] { return buildModule(name, repoId, scopeId, KIV_DEF_MODIFIED); });
}

KIV_API kivResult kivTLibCreateInterface(kivTLib *tlib, const char *name, const char *repoId,
                                         const char *scopeId, uint32_t flags, const char *baseId,
                                         uint32_t memberCount, const kivTLibMember *members,
                                         kivTLibDef **out) {
    if (kivResult rc = beginCreate(tlib, out)) return rc;
    if (anyNull({name, repoId, scopeId})) return KIV_E_INVALID_ARG;
    if (baseId)
        if (kivResult rc = checkBase(tlib, baseId)) return rc;
    if (checkInterfaceMembers(memberCount, members)) return KIV_E_INVALID_ARG;
    kivTLibDef *scope = nullptr;
    if (kivResult rc = findScope(tlib, scopeId, kModuleScope, &scope)) return rc;

    DefinitionPtr built(&buildInterface(name, repoId, scopeId, newDefinitionFlags(flags), baseId,
                                        memberCount, members)
                             ->header);
    kivTLibDef *existing = nullptr;
    kivResult rc = kivTLibGetDefinition(tlib, repoId, &existing);
    if (rc == KIV_E_UNKNOWN_REPOID) return publish(tlib, scope, built.release(), out);
    if (rc) return rc;
    // A redefinition: the definition built for it serves only the comparison.
    rc = kivTLibCheckCompatDef(tlib, existing, tlib, built.get());
    built.reset();
    if (rc) return rc;
    if (existing->flags & KIV_DEF_FORWARD) {
        completeForward(tlib, as<kivTLibInterfaceDef>(existing), flags, baseId, memberCount,
                        members);
        if (kivResult flushed = autoFlush(tlib)) return flushed;
    }
    if (out) *out = existing;
    return 0;
}

KIV_API kivResult kivTLibCreateInterfaceFwd(kivTLib *tlib, const char *name, const char *repoId,
                                            const char *scopeId, uint32_t flags, kivTLibDef **out) {
    if (kivResult rc = beginCreate(tlib, out)) return rc;
    if (anyNull({name, repoId, scopeId})) return KIV_E_INVALID_ARG;
    kivTLibDef *scope = nullptr;
    if (kivResult rc = findScope(tlib, scopeId, kModuleScope, &scope)) return rc;

    DefinitionPtr built(&buildInterface(name, repoId, scopeId,
                                        newDefinitionFlags(flags) | KIV_DEF_FORWARD, nullptr, 0,
                                        nullptr)
                             ->header);
    kivTLibDef *existing = nullptr;
    kivResult rc = kivTLibGetDefinition(tlib, repoId, &existing);
    if (rc == KIV_E_UNKNOWN_REPOID) return publish(tlib, scope, built.release(), out);
    if (rc) return rc;
    // Declaring an existing interface again changes nothing.
    rc = kivTLibCheckCompatDef(tlib, existing, tlib, built.get());
    if (rc) return rc;
    if (out) *out = existing;
    return 0;
}

KIV_API kivResult kivTLibCreateAlias(kivTLib *tlib, const char *name, const char *repoId,
                                     const char *scopeId, uint32_t flags,
                                     const kivTLibTypeRef *type, kivTLibDef **out) {
    return createNamed(
        tlib, out, name, repoId, scopeId, kModuleOrInterface,
        [&] { return checkTypeRef(type, false); },
        [&] { return buildAlias(name, repoId, scopeId, newDefinitionFlags(flags), *type); });
}

KIV_API kivResult kivTLibCreateArray(kivTLib *tlib, const char *repoId, uint32_t flags,
                                     uint32_t length, const kivTLibTypeRef *element,
                                     kivTLibDef **out) {
    return createAnonymous(
        tlib, out, repoId, [&] { return checkTypeRef(element, false); },
        [&] { return buildArray(repoId, newDefinitionFlags(flags), length, *element); });
}

KIV_API kivResult kivTLibCreateSequence(kivTLib *tlib, const char *repoId, uint32_t flags,
                                        uint32_t bound, const kivTLibTypeRef *element,
                                        kivTLibDef **out) {
    return createAnonymous(
        tlib, out, repoId, [&] { return checkTypeRef(element, false); },
        [&] { return buildSequence(repoId, newDefinitionFlags(flags), bound, *element); });
}

KIV_API kivResult kivTLibCreateString(kivTLib *tlib, const char *repoId, uint32_t flags,
                                      uint32_t bound, kivTLibDef **out) {
    return createAnonymous(tlib, out, repoId, kNoContentCheck, [&] {
        return buildString(KIV_DEF_STRING, repoId, newDefinitionFlags(flags), bound);
    });
}

KIV_API kivResult kivTLibCreateWString(kivTLib *tlib, const char *repoId, uint32_t flags,
                                       uint32_t bound, kivTLibDef **out) {
    return createAnonymous(tlib, out, repoId, kNoContentCheck, [&] {
        return buildString(KIV_DEF_WSTRING, repoId, newDefinitionFlags(flags), bound);
    });
}

KIV_API kivResult kivTLibCreateStruct(kivTLib *tlib, const char *name, const char *repoId,
                                      const char *scopeId, uint32_t flags, uint32_t memberCount,
                                      const kivTLibStructMember *members, kivTLibDef **out) {
    return createNamed(
        tlib, out, name, repoId, scopeId, kAnyScope,
        [&] { return checkStructMembers(memberCount, members); },
        [&] {
            return buildStruct(name, repoId, scopeId, newDefinitionFlags(flags), memberCount,
                               members);
        });
}

KIV_API kivResult kivTLibCreateUnion(kivTLib *tlib, const char *name, const char *repoId,
                                     const char *scopeId, uint32_t flags,
                                     const kivTLibTypeRef *discriminator, uint32_t caseCount,
                                     const kivTLibUnionCase *cases, kivTLibDef **out) {
    return createNamed(
        tlib, out, name, repoId, scopeId, kAnyScope,
        [&] { return checkUnion(discriminator, caseCount, cases); },
        [&] {
            return buildUnion(name, repoId, scopeId, newDefinitionFlags(flags), *discriminator,
                              caseCount, cases);
        });
}

KIV_API kivResult kivTLibCreateEnum(kivTLib *tlib, const char *name, const char *repoId,
                                    const char *scopeId, uint32_t flags, uint32_t memberCount,
                                    const kivTLibEnumMember *members, kivTLibDef **out) {
    return createNamed(
        tlib, out, name, repoId, scopeId, kAnyScope,
        [&] { return checkEnumMembers(memberCount, members); },
        [&] {
            return buildEnum(name, repoId, scopeId, newDefinitionFlags(flags), memberCount,
                             members);
        });
}

KIV_API kivResult kivTLibCreateConstant(kivTLib *tlib, const char *name, const char *repoId,
                                        const char *scopeId, uint32_t flags,
                                        const kivTLibTypeRef *type, const kivTLibValue *value,
                                        kivTLibDef **out) {
    return createNamed(
        tlib, out, name, repoId, scopeId, kModuleOrInterface,
        [&] { return checkConstant(type, value); },
        [&] {
            return buildConstant(name, repoId, scopeId, newDefinitionFlags(flags), *type, *value);
        });
}

}  // extern "C"
