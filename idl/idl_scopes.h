// SPDX-License-Identifier: Apache-2.0
// The names of a compile: scopes (modules, interfaces, structures, unions) and the symbols
// declared in them, looked up as IDL scoping says, with suggestions for unknown names.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "idl_emitter.h"
#include "idl_source.h"
#include "kiv.h"

namespace kivtool::idl {

constexpr size_t kMaxNesting = 256;  // scopes and parentheses in the text

std::string joined(const std::vector<std::string> &parts, const char *separator);

struct Scope;

struct Symbol {
    std::string name;
    std::string repoId;
    kivTLibDefKind kind = 0;
    Location at;          // unknown for definitions read from a library
    std::string library;  // where it was read from; "" for this compile
    Scope *inner = nullptr;
    bool explicitId = false;
    // Enumerators.
    std::string enumId;
    uint32_t enumValue = 0;
    // Constants, for use in later expressions.
    kivTLibTypeTag constTag = 0;
    std::string constTypeId;
    kivTLibValue constValue{};
    std::string constText;
    // Typedefs of this compile: the type they name.
    TypePtr aliasType;
};

struct Scope {
    Scope *parent = nullptr;
    Symbol *self = nullptr;
    std::string repoId;
    kivTLibDefKind kind = KIV_DEF_MODULE;
    std::vector<std::string> path;  // names from the outermost scope, for derived ids
    std::unordered_map<std::string, Symbol *> names;
    std::unordered_map<std::string, Symbol *> folded;  // by lower-case name, for case clashes
    std::string baseId;  // interfaces: names of the base are visible inside
};

struct ScopedName {
    bool absolute = false;
    std::vector<std::string> parts;
    Location at;
    std::string text() const { return (absolute ? "::" : "") + joined(parts, "::"); }
};

// Owns every scope and symbol of a compile; a symbol's address stays valid for the compile.
class Scopes {
  public:
    Scopes() = default;
    virtual ~Scopes() = default;
    Scopes(const Scopes &) = delete;
    Scopes &operator=(const Scopes &) = delete;

  protected:
    // Unknown names go to `report`; names already in `library` (the one being grown) may be
    // given again.
    void attachNames(Diagnostics &report, const std::string &library) {
        names_ = &report;
        ownLibrary_ = library;
    }
    // Errors of declarations; may end the compile by throwing.
    virtual void error(Location at, const std::string &message) = 0;

    Scope *newScope(Scope *parent, Symbol *self, const std::string &id, kivTLibDefKind kind);
    Symbol *newSymbol(const std::string &name, const std::string &id, kivTLibDefKind kind,
                      Location at, const std::string &library);
    static Symbol *find(Scope *scope, const std::string &name);
    void bind(Scope *scope, Symbol *s);
    // Another name of `scope` that differs from `name` in case only.
    static Symbol *caseTwin(Scope *scope, const std::string &name);
    // A name in a scope or, for an interface, in its bases.
    Symbol *findInside(Scope *scope, const std::string &name);
    // A simple name from `scope` outwards.
    Symbol *findVisible(Scope *scope, const std::string &n);
    // Resolves a scoped name from `from` outwards; reports an unknown name with a suggestion
    // unless `report` is false.
    Symbol *resolve(const ScopedName &name, Scope *from, const char *what, bool report = true);
    // Where a symbol was defined, for "previous definition" notes.
    void previous(const Symbol *s);
    // Declares, in `scope` and below, the definitions that `scopeDef` of library `t` (shown
    // as `from`) holds, without taking a name or id that is declared already.
    // Declares a new named definition in `scope`; nullptr (reported) when the name or id is
    // taken in a way that no reopening explains. An explicit id lets names differ only in case.
    Symbol *declare(Scope *scope, const std::string &simpleName, const std::string &id,
                    kivTLibDefKind kind, Location at, bool explicitId);
    // Enumerators are names of the enclosing scope: they clash with any other name there,
    // except with themselves when a library being grown has the same enumeration.
    void declareEnumerator(Scope *scope, const std::string &n, const std::string &enumId,
                           uint32_t value, Location at);
    // The module or interface with `id` that `scope` already holds, to be reopened.
    Symbol *reopened(Scope *scope, const std::string &id, kivTLibDefKind kind);
    void seed(kivTLib *t, const kivTLibDef *scopeDef, Scope *scope, const std::string &from,
              size_t depth);

    Scope *root_ = nullptr;
    std::unordered_map<std::string, Symbol *> byId_;
    Diagnostics *names_ = nullptr;
    std::string ownLibrary_;

  private:
    std::deque<Symbol> symbols_;
    std::deque<Scope> scopes_;
};

}  // namespace kivtool::idl
