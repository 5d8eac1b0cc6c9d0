// SPDX-License-Identifier: Apache-2.0
// The IDL compiler's last pass: definitions into a type library through the public creating
// calls.
#include "idl_emitter.h"

#include <optional>

namespace kivtool::idl {

std::string kindWord(kivTLibDefKind kind) {
    switch (kind) {
        case KIV_DEF_MODULE:
            return "module";
        case KIV_DEF_INTERFACE:
            return "interface";
        case KIV_DEF_CONSTANT:
            return "constant";
        case KIV_DEF_STRUCT:
            return "struct";
        case KIV_DEF_UNION:
            return "union";
        case KIV_DEF_ENUM:
            return "enum";
        case KIV_DEF_ALIAS:
            return "typedef";
        case KIV_DEF_STRING:
            return "string type";
        case KIV_DEF_WSTRING:
            return "wstring type";
        case KIV_DEF_SEQUENCE:
            return "sequence type";
        case KIV_DEF_ARRAY:
            return "array type";
        case kEnumerator:
            return "enumerator";
        default:
            return "definition";
    }
}

std::string quoted(const std::string &name) {
    return "'" + name + "'";
}

void Emitter::ensureRoot() {
    if (rootPresent_) return;
    rootPresent_ = true;
    if (kivResult rc = kivTLibCreateRoot(tlib_, rootFlags_, nullptr)) {
        report_->error(libraryName_,
                       std::string("cannot create the root module: ") + kivStrError(rc));
        return;
    }
    changed_ = true;
}
void Emitter::ensureRootFor(const std::string &scopeId) {
    if (scopeId == KIV_TLIB_ROOT_ID) ensureRoot();
}

void Emitter::advanceCounter(uint32_t target, Location at) {
    if (target < counter_) {
        error(at, "the local id counter is already at " + std::to_string(counter_));
        return;
    }
    // Ids are handed out one call at a time; a bound keeps a hostile pragma from taking
    // hours, and numbers past INT32_MAX would read back as negative ids.
    if (target > kLastLocalId) {
        error(at, "#pragma next_local_id " + std::to_string(target) + ": local ids end at " +
                      std::to_string(kLastLocalId));
        return;
    }
    if (target - counter_ > kMaxLocalIdSkip) {
        error(at, "#pragma next_local_id " + std::to_string(target) + " skips more than " +
                      std::to_string(kMaxLocalIdSkip) + " ids (the counter is at " +
                      std::to_string(counter_) + ")");
        return;
    }
    while (counter_ < target) localId();
}

std::string Emitter::localId() {
    char buffer[32];
    kivResult rc = kivTLibCreateLocalRepoId(tlib_, buffer, sizeof buffer);
    ++counter_;
    changed_ = true;
    if (rc) {
        report_->error(libraryName_, std::string("cannot make a local id: ") + kivStrError(rc));
        return "LOCAL:?";
    }
    return buffer;
}

kivTLibTypeRef Emitter::ref(TypeSpec &t) {
    if (t.anonymous && t.repoId.empty()) createAnonymous(t, "", 0, t.at);
    return {t.tag, t.repoId.empty() ? nullptr : t.repoId.c_str()};
}

void Emitter::createAnonymous(TypeSpec &t, const std::string &givenId, uint32_t flags,
                              Location at) {
    kivTLibTypeRef element{};
    if (t.element) element = ref(*t.element);
    if (!givenId.empty()) {
        kivTLibDef *d = nullptr;
        if (kivTLibGetDefinition(tlib_, givenId.c_str(), &d) == 0) {
            if (d->kind == t.anonymous && (d->flags & kCallerFlags) == flags) {
                TypeSpec copy = t;
                copy.repoId.clear();
                if (sameType(copy, {t.tag, givenId.c_str()}, 0)) {
                    t.repoId = givenId;
                    return;
                }
            }
            error(at, "anonymous type \"" + givenId + "\" differs from its definition in " +
                          libraryName_);
            return;
        }
    }
    std::string id = givenId.empty() ? localId() : givenId;
    kivResult rc;
    switch (t.anonymous) {
        case KIV_DEF_STRING:
            rc = kivTLibCreateString(tlib_, id.c_str(), flags, t.bound, nullptr);
            break;
        case KIV_DEF_WSTRING:
            rc = kivTLibCreateWString(tlib_, id.c_str(), flags, t.bound, nullptr);
            break;
        case KIV_DEF_SEQUENCE:
            rc = kivTLibCreateSequence(tlib_, id.c_str(), flags, t.bound, &element, nullptr);
            break;
        default:
            rc = kivTLibCreateArray(tlib_, id.c_str(), flags, t.bound, &element, nullptr);
            break;
    }
    t.repoId = id;
    create(rc, at, kindWord(t.anonymous), "", id);
}

void Emitter::createInterface(const std::string &n, const std::string &id,
                              const std::string &scopeId, uint32_t flags, const std::string &baseId,
                              std::vector<MemberSpec> &members, Location at) {
    ensureRoot();
    kivTLibDef *d = nullptr;
    if (kivTLibGetDefinition(tlib_, id.c_str(), &d) == 0 && d->kind == KIV_DEF_INTERFACE &&
        !(d->flags & KIV_DEF_FORWARD)) {
        // Already complete: compare here, so that an identical one creates no anonymous types.
        auto &i = *reinterpret_cast<const kivTLibInterfaceDef *>(d);
        bool same =
            sameName(d->name, n) && sameName(d->scopeId, scopeId) && sameName(i.baseId, baseId);
        Location where = at;
        std::string why = same ? "" : "its base differs";
        size_t m = 0;
        for (; same && i.members && m < members.size() && m < i.memberCount; ++m) {
            const kivTLibMember &old = i.members[m];
            const MemberSpec &now = members[m];
            same = old.kind == now.kind && sameName(old.name, now.name) &&
                   sameType(*now.type, old.type, 0) &&
                   (now.kind != KIV_MEMBER_OPERATION || old.paramCount == now.params.size());
            for (size_t p = 0;
                 same && now.kind == KIV_MEMBER_OPERATION && old.params && p < now.params.size();
                 ++p)
                same = sameName(old.params[p].name, now.params[p].name) &&
                       sameType(*now.params[p].type, old.params[p].type, 0) &&
                       old.params[p].direction == now.params[p].direction;
        }
        if (!same && m > 0) {
            where = members[m - 1].at;
            why = "member " + quoted(members[m - 1].name) + " differs";
        } else if (members.size() != i.memberCount) {
            same = false;
            why = members.size() > i.memberCount ? "it has more members" : "it has fewer members";
        }
        if (same) return;
        error(where, "interface " + quoted(n) + " is incompatible with its definition in " +
                         libraryName_ + ": " + why);
        report_->note(at, "interface " + quoted(n) + " (" + id + ") is defined here");
        return;
    }
    std::vector<std::vector<kivTLibParam>> params(members.size());
    std::vector<kivTLibMember> list;
    for (size_t m = 0; m < members.size(); ++m) {
        MemberSpec &given = members[m];
        kivTLibMember member{};
        member.kind = given.kind;
        member.name = given.name.c_str();
        member.flags = given.flags;
        member.type = ref(*given.type);
        for (auto &p : given.params)
            params[m].push_back({p.name.c_str(), ref(*p.type), p.direction});
        member.paramCount = static_cast<uint32_t>(params[m].size());
        member.params = params[m].empty() ? nullptr : params[m].data();
        list.push_back(member);
    }
    create(kivTLibCreateInterface(tlib_, n.c_str(), id.c_str(), scopeId.c_str(), flags,
                                  baseId.empty() ? nullptr : baseId.c_str(),
                                  static_cast<uint32_t>(list.size()), list.data(), nullptr),
           at, "interface", n, id);
}

bool Emitter::existing(const std::string &id, kivTLibDefKind kind, const std::string &n,
                       const std::string &scopeId, uint32_t flags, Location at,
                       const std::function<bool(const kivTLibDef *)> &same) {
    kivTLibDef *d = nullptr;
    if (kivTLibGetDefinition(tlib_, id.c_str(), &d) != 0) return false;
    if (d->kind == kind && sameName(d->name, n) && sameName(d->scopeId, scopeId) &&
        (d->flags & kCallerFlags) == flags && same(d))
        return true;
    error(at, kindWord(kind) + " " + quoted(n) + " differs from its definition in " + libraryName_);
    report_->note(libraryName_,
                  "there, \"" + id + "\" is " +
                      (d->kind == kind ? "defined differently" : "a " + kindWord(d->kind)));
    return true;
}

bool Emitter::sameType(const TypeSpec &t, const kivTLibTypeRef &r, int depth) {
    if (t.tag != r.tag || depth > 64) return false;
    if (!t.anonymous || !t.repoId.empty()) return sameName(r.repoId, t.repoId);
    if (!r.repoId) return false;
    kivTLibDef *d = nullptr;
    if (kivTLibGetDefinition(tlib_, r.repoId, &d) != 0 || d->kind != t.anonymous) return false;
    if (d->flags & kCallerFlags) return false;
    switch (d->kind) {
        case KIV_DEF_STRING:
        case KIV_DEF_WSTRING:
            return reinterpret_cast<const kivTLibStringDef *>(d)->bound == t.bound;
        case KIV_DEF_SEQUENCE: {
            auto &s = *reinterpret_cast<const kivTLibSequenceDef *>(d);
            return s.bound == t.bound && sameType(*t.element, s.element, depth + 1);
        }
        default: {
            auto &s = *reinterpret_cast<const kivTLibArrayDef *>(d);
            return s.length == t.bound && sameType(*t.element, s.element, depth + 1);
        }
    }
}

bool Emitter::sameValue(const kivTLibValue &a, const std::string &text, const kivTLibValue &b) {
    if (a.tag != b.tag) return false;
    switch (a.tag) {
        case KIV_VALUE_NONE:
            return true;
        case KIV_TYPE_BOOLEAN:
        case KIV_TYPE_OCTET:
        case KIV_TYPE_CHAR:
            return a.u8 == b.u8;
        case KIV_TYPE_WCHAR:
        case KIV_TYPE_SHORT:
        case KIV_TYPE_USHORT:
            return a.u16 == b.u16;
        case KIV_TYPE_LONG:
        case KIV_TYPE_ULONG:
        case KIV_TYPE_ENUM:
        case KIV_TYPE_FLOAT:
        case KIV_TYPE_DECIMAL32:
            return a.u32 == b.u32;
        case KIV_TYPE_STRING:
        case KIV_TYPE_WSTRING:
            return b.str && text == b.str;
        case KIV_TYPE_DECIMAL128:
            return a.d128[0] == b.d128[0] && a.d128[1] == b.d128[1];
        default:
            return a.u64 == b.u64;
    }
}

void Emitter::create(kivResult rc, Location at, const std::string &kind, const std::string &n,
                     const std::string &id) {
    if (rc == 0) {
        changed_ = true;
        return;
    }
    std::string what = kind + (n.empty() ? "" : " " + quoted(n));
    std::string message;
    switch (rc) {
        case KIV_E_REPOID_EXISTS:
            message = "cannot define " + what + ": repository id \"" + id +
                      "\" is already taken in " + libraryName_;
            break;
        case KIV_E_INCOMPATIBLE:
            message =
                what + " is incompatible with its definition in " + libraryName_ + " (" + id + ")";
            break;
        case KIV_E_UNKNOWN_BASE:
            message = "the base of " + what + " is not in " + libraryName_ +
                      " (a base interface must be in the library being built, not imported)";
            break;
        case KIV_E_BAD_BASE:
            message = "the base of " + what + " is not an interface in " + libraryName_;
            break;
        case KIV_E_UNKNOWN_SCOPE:
            message = "the scope of " + what + " is not in " + libraryName_;
            break;
        case KIV_E_BAD_SCOPE_KIND:
            message = "in " + libraryName_ + ", the scope of " + what + " cannot hold a " + kind;
            break;
        case KIV_E_BAD_KIND:
            message = "cannot define " + what + ": \"" + id +
                      "\" is another kind of definition in " + libraryName_;
            break;
        case KIV_E_INVALID_ARG:
            message = "the type library refuses " + what + " (an invalid member, type or value)";
            break;
        default:
            message = "cannot define " + what + ": " + kivStrError(rc);
            break;
    }
    error(at, message);
}

void Emitter::createModule(const DefinitionHead &d) {
    ensureRoot();
    kivTLibDef *had = nullptr;
    if (kivTLibGetDefinition(tlib_, d.id.c_str(), &had) == 0 && had->kind == KIV_DEF_MODULE &&
        sameName(had->name, d.name) && had->scopeId && d.scopeId == had->scopeId)
        return;
    create(kivTLibCreateModule(tlib_, d.name.c_str(), d.id.c_str(), d.scopeId.c_str(), 0, nullptr),
           d.at, "module", d.name, d.id);
}

void Emitter::createInterfaceFwd(const DefinitionHead &d) {
    ensureRoot();
    bool had = kivTLibGetDefinition(tlib_, d.id.c_str(), nullptr) == 0;
    bool before = changed_;
    create(kivTLibCreateInterfaceFwd(tlib_, d.name.c_str(), d.id.c_str(), d.scopeId.c_str(),
                                     d.flags, nullptr),
           d.at, "interface", d.name, d.id);
    if (had) changed_ = before;
}

void Emitter::createStruct(const DefinitionHead &d, const std::vector<MemberOfStruct> &members) {
    ensureRootFor(d.scopeId);
    if (existing(d.id, KIV_DEF_STRUCT, d.name, d.scopeId, d.flags, d.at, [&](const kivTLibDef *h) {
            auto &r = *reinterpret_cast<const kivTLibStructDef *>(h);
            if (r.memberCount != members.size() || !r.members) return false;
            for (size_t i = 0; i < members.size(); ++i)
                if (!sameName(r.members[i].name, members[i].name) ||
                    !sameType(*members[i].type, r.members[i].type, 0))
                    return false;
            return true;
        }))
        return;
    std::vector<kivTLibStructMember> list;
    for (const MemberOfStruct &m : members) list.push_back({m.name.c_str(), ref(*m.type)});
    create(kivTLibCreateStruct(tlib_, d.name.c_str(), d.id.c_str(), d.scopeId.c_str(), d.flags,
                               static_cast<uint32_t>(list.size()), list.data(), nullptr),
           d.at, "struct", d.name, d.id);
}

void Emitter::createUnion(const DefinitionHead &d, TypeSpec &discriminator,
                          const std::vector<CaseSpec> &cases) {
    ensureRootFor(d.scopeId);
    if (existing(d.id, KIV_DEF_UNION, d.name, d.scopeId, d.flags, d.at, [&](const kivTLibDef *h) {
            auto &r = *reinterpret_cast<const kivTLibUnionDef *>(h);
            if (r.caseCount != cases.size() || !r.cases ||
                !sameType(discriminator, r.discriminator, 0))
                return false;
            for (size_t i = 0; i < cases.size(); ++i)
                if (!sameName(r.cases[i].name, cases[i].name) ||
                    !sameType(*cases[i].type, r.cases[i].type, 0) ||
                    !sameValue(cases[i].label, "", r.cases[i].label))
                    return false;
            return true;
        }))
        return;
    kivTLibTypeRef switchType = ref(discriminator);
    std::vector<kivTLibUnionCase> list;
    for (const CaseSpec &c : cases) list.push_back({c.name.c_str(), ref(*c.type), c.label});
    create(
        kivTLibCreateUnion(tlib_, d.name.c_str(), d.id.c_str(), d.scopeId.c_str(), d.flags,
                           &switchType, static_cast<uint32_t>(list.size()), list.data(), nullptr),
        d.at, "union", d.name, d.id);
}

void Emitter::createEnum(const DefinitionHead &d,
                         const std::vector<std::pair<std::string, uint32_t>> &members) {
    ensureRootFor(d.scopeId);
    if (existing(d.id, KIV_DEF_ENUM, d.name, d.scopeId, d.flags, d.at, [&](const kivTLibDef *h) {
            auto &r = *reinterpret_cast<const kivTLibEnumDef *>(h);
            if (r.memberCount != members.size() || !r.members) return false;
            for (size_t i = 0; i < members.size(); ++i)
                if (!sameName(r.members[i].name, members[i].first) ||
                    r.members[i].value != members[i].second)
                    return false;
            return true;
        }))
        return;
    std::vector<kivTLibEnumMember> list;
    for (auto &[name, value] : members) list.push_back({name.c_str(), value});
    create(kivTLibCreateEnum(tlib_, d.name.c_str(), d.id.c_str(), d.scopeId.c_str(), d.flags,
                             static_cast<uint32_t>(list.size()), list.data(), nullptr),
           d.at, "enum", d.name, d.id);
}

void Emitter::createConstant(const DefinitionHead &d, TypeSpec &type, kivTLibValue value,
                             const std::string &text) {
    if (value.tag == KIV_TYPE_STRING || value.tag == KIV_TYPE_WSTRING) value.str = text.c_str();
    ensureRootFor(d.scopeId);
    if (existing(d.id, KIV_DEF_CONSTANT, d.name, d.scopeId, d.flags, d.at,
                 [&](const kivTLibDef *h) {
                     auto &r = *reinterpret_cast<const kivTLibConstantDef *>(h);
                     return sameType(type, r.type, 0) && sameValue(value, text, r.value);
                 }))
        return;
    kivTLibTypeRef t = ref(type);
    create(kivTLibCreateConstant(tlib_, d.name.c_str(), d.id.c_str(), d.scopeId.c_str(), d.flags,
                                 &t, &value, nullptr),
           d.at, "constant", d.name, d.id);
}

void Emitter::createAlias(const DefinitionHead &d, TypeSpec &type) {
    ensureRootFor(d.scopeId);
    if (existing(d.id, KIV_DEF_ALIAS, d.name, d.scopeId, d.flags, d.at, [&](const kivTLibDef *h) {
            return sameType(type, reinterpret_cast<const kivTLibAliasDef *>(h)->type, 0);
        }))
        return;
    kivTLibTypeRef t = ref(type);
    create(kivTLibCreateAlias(tlib_, d.name.c_str(), d.id.c_str(), d.scopeId.c_str(), d.flags, &t,
                              nullptr),
           d.at, "typedef", d.name, d.id);
}

}  // namespace kivtool::idl
