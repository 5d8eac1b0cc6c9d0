// SPDX-License-Identifier: Apache-2.0
// Types and constant expressions of the syntax tree resolved in the scope where they stand:
// names looked up, values computed and converted, syntax errors kept in the tree reported in
// the order of the text.
#pragma once

#include <string>
#include <unordered_set>

#include "idl_ast.h"
#include "idl_checker.h"

namespace kivtool::idl {

class Resolver : public Checker {
  protected:
    // The value of an expression; throws ParseError once its first problem is reported.
    Val valueOf(const Expr &e, Scope *scope);
    // An expression's value as an unsigned long (a bound, a length, flags); `what` names it.
    uint32_t unsignedOf(const Expr &e, Scope *scope, const std::string &what);
    // The value of `v` for a type of tag `tag` (and enumeration `enumId`), with range checks.
    bool convert(const Val &v, kivTLibTypeTag tag, const std::string &enumId,
                 const std::string &what, kivTLibValue *out, std::string *text);
    // A type; `allowVoid` only for operation results. Throws ParseError once a problem is
    // reported (an unknown name, a syntax error), setting `refusing_` where the rest of the
    // definition is to be left out quietly.
    TypePtr resolveType(const TypeExpr &e, Scope *scope, bool allowVoid);

    // Refuses what the library cannot hold; the names it declares are left out quietly.
    [[noreturn]] void refuse(Location at, const std::string &what, const char *why);
    [[noreturn]] void syntaxError(const SyntaxError &e);

    std::unordered_set<std::string> refused_;  // names of definitions refused as unstorable
    // The definition being read was refused as unstorable or names an unknown type: the names
    // it declares are left out quietly.
    bool refusing_ = false;

  private:
    TypePtr namedType(const TypeExpr &e, Scope *scope);
};

}  // namespace kivtool::idl
