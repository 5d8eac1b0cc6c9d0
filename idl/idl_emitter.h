// SPDX-License-Identifier: Apache-2.0
// The IDL compiler's last pass: checked declarations into a type library through the public
// creating calls, compared with what a library being grown already holds.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "idl_source.h"
#include "kiv.h"

namespace kivtool::idl {

constexpr uint32_t kCallerFlags = 0xFFFF0000u;  // definition flags a caller may set
constexpr uint32_t kLastLocalId = 0x7FFFFFFFu;
constexpr uint32_t kMaxLocalIdSkip = 1u << 20;
constexpr kivTLibDefKind kEnumerator = 100;  // symbols only: enumerators live in a scope too

struct TypeSpec;
using TypePtr = std::shared_ptr<TypeSpec>;

// A type as written: a reference to a definition by id, or an anonymous type still to create
// (then `repoId` is filled when it is created).
struct TypeSpec {
    kivTLibTypeTag tag = 0;
    std::string repoId;
    kivTLibDefKind anonymous = 0;
    uint32_t bound = 0;
    TypePtr element;
    Location at;
};

inline TypePtr basicType(kivTLibTypeTag tag, Location at) {
    auto t = std::make_shared<TypeSpec>();
    t->tag = tag;
    t->at = at;
    return t;
}

inline TypePtr anonymousType(kivTLibDefKind kind, uint32_t bound, TypePtr element, Location at) {
    auto t = std::make_shared<TypeSpec>();
    t->tag = kind == KIV_DEF_STRING     ? KIV_TYPE_STRING
             : kind == KIV_DEF_WSTRING  ? KIV_TYPE_WSTRING
             : kind == KIV_DEF_SEQUENCE ? KIV_TYPE_SEQUENCE
                                        : KIV_TYPE_ARRAY;
    t->anonymous = kind;
    t->bound = bound;
    t->element = std::move(element);
    t->at = at;
    return t;
}

struct MemberSpec {
    uint32_t kind;
    std::string name;
    uint32_t flags;
    TypePtr type;
    struct Param {
        std::string name;
        TypePtr type;
        uint32_t direction;
        Location at;
    };
    std::vector<Param> params;
    Location at;
};

// What every definition is created with.
struct DefinitionHead {
    std::string name;
    std::string id;
    std::string scopeId;
    uint32_t flags = 0;
    Location at;
};

// A structure member, in the order written.
struct MemberOfStruct {
    std::string name;
    Location at;
    TypePtr type;
};

// A union case, one per label.
struct CaseSpec {
    std::string name;
    TypePtr type;
    kivTLibValue label{};
    Location at;
};

// "struct", "typedef", ... for messages.
std::string kindWord(kivTLibDefKind kind);
std::string quoted(const std::string &name);

// Creates definitions in `tlib_`, shown in messages as `libraryName_`. A definition the
// library already has is compared instead: identical is nothing to do, different an error
// naming both places. Errors go to error(), which may end the compile by throwing.
class Emitter {
  public:
    Emitter(kivTLib *tlib, std::string libraryName, uint32_t nextLocalId)
        : tlib_(tlib), libraryName_(std::move(libraryName)), counter_(nextLocalId) {}
    virtual ~Emitter() = default;
    Emitter(const Emitter &) = delete;
    Emitter &operator=(const Emitter &) = delete;

  protected:
    void attach(Diagnostics &report) { report_ = &report; }
    virtual void error(Location at, const std::string &message) = 0;

    void ensureRoot();
    void ensureRootFor(const std::string &scopeId);
    void advanceCounter(uint32_t target, Location at);
    std::string localId();
    // The reference for a type, creating its anonymous types (elements first) on first use.
    kivTLibTypeRef ref(TypeSpec &t);
    void createAnonymous(TypeSpec &t, const std::string &givenId, uint32_t flags, Location at);
    // Each creates the definition, or finds it identical in the library (nothing to do), or
    // reports how the library's differs.
    void createModule(const DefinitionHead &d);
    // A declaration of an interface the library has already changes nothing.
    void createInterfaceFwd(const DefinitionHead &d);
    void createStruct(const DefinitionHead &d, const std::vector<MemberOfStruct> &members);
    void createUnion(const DefinitionHead &d, TypeSpec &discriminator,
                     const std::vector<CaseSpec> &cases);
    void createEnum(const DefinitionHead &d,
                    const std::vector<std::pair<std::string, uint32_t>> &members);
    // `text` holds the characters of a string or wide string value.
    void createConstant(const DefinitionHead &d, TypeSpec &type, kivTLibValue value,
                        const std::string &text);
    void createAlias(const DefinitionHead &d, TypeSpec &type);
    void createInterface(const std::string &n, const std::string &id, const std::string &scopeId,
                         uint32_t flags, const std::string &baseId,
                         std::vector<MemberSpec> &members, Location at);
    // For a definition the library has from before: true when it is identical (nothing to
    // do); an error naming both places when it differs; false when the id is free.
    bool existing(const std::string &id, kivTLibDefKind kind, const std::string &n,
                  const std::string &scopeId, uint32_t flags, Location at,
                  const std::function<bool(const kivTLibDef *)> &same);
    static bool sameName(const char *a, const std::string &b) { return a ? b == a : b.empty(); }
    bool sameType(const TypeSpec &t, const kivTLibTypeRef &r, int depth);
    static bool sameValue(const kivTLibValue &a, const std::string &text, const kivTLibValue &b);
    // Maps a creating call's result to a sentence at the definition's position.
    void create(kivResult rc, Location at, const std::string &kind, const std::string &n,
                const std::string &id);

    kivTLib *tlib_;
    std::string libraryName_;
    Diagnostics *report_ = nullptr;
    uint32_t counter_;  // the next local id number the handle hands out
    bool rootPresent_ = false;
    uint32_t rootFlags_ = 0;
    bool changed_ = false;
};

}  // namespace kivtool::idl
