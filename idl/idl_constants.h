// SPDX-License-Identifier: Apache-2.0
// Values of IDL constant expressions and their conversion to the type they meet.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "idl_source.h"
#include "idl_text.h"
#include "kiv.h"

namespace kivtool::idl {

struct Expr;
struct ScopedName;
struct Symbol;

__extension__ typedef __int128 I128;

// A constant expression's value before it meets its type.
struct Val {
    enum Kind { Int, Float, Bool, Char, WChar, Str, WStr, Enum, Bits } kind = Int;
    I128 i = 0;
    double f = 0;
    std::string literal;  // Float: the literal as written (with sign) while no arithmetic applied
    std::string s;
    std::string enumId;
    Bits128 bits = 0;
    int bitsWidth = 0;  // Bits from a decimal constant: its width
    Location at;
};

// The value of `v` for a type of tag `tag` (and enumeration `enumId`), with range checks;
// strings go to `text`. On a problem, false with a sentence in `problem` (which may also be
// set when a value was stored anyway). `enumName` names an enumeration by id in messages.
bool convertValue(const Val &v, kivTLibTypeTag tag, const std::string &enumId,
                  const std::string &what,
                  const std::function<std::string(const std::string &)> &enumName,
                  kivTLibValue *out, std::string *text, std::string *problem);

// A stored constant's value (strings in `text`, an enumerator's enumeration `typeId`) for use
// in an expression; nullopt for a value of no usable kind.
std::optional<Val> valueOfConstant(const kivTLibValue &k, const std::string &text,
                                   const std::string &typeId, Location at);

constexpr const char *kOverflow = "constant expression overflows 64 bits";

// Whether an integer value stays within what 64-bit types of either sign hold.
bool within64Bits(const Val &v);

// `a OP b` for a binary operator of constant expressions (| ^ & << >> + - * / %); nullopt
// with a sentence in `problem` when it does not apply or overflows.
std::optional<Val> applyOperator(std::string_view op, const Val &a, const Val &b,
                                 std::string *problem);

// What evaluating an expression needs from where it stands: its names, and where to report.
class ExpressionScope {
  public:
    virtual ~ExpressionScope() = default;
    // The symbol a name in the expression means; nullptr once reported as unknown.
    virtual Symbol *resolve(const ScopedName &name) = 0;
    // Whether a simple name is declared (NaN and Infinity are values only where not).
    virtual bool visible(const std::string &name) = 0;
    // Reports an error; may end the compile by throwing.
    virtual void error(Location at, const std::string &message) = 0;
};

// The value of a constant-expression tree, its operands taken in the order of the text; the
// first problem (a syntax error kept in the tree included) is reported and gives nullopt.
// `refusal` tells whether that was a construct the library cannot hold.
std::optional<Val> evaluate(const Expr &expression, ExpressionScope &scope, bool *refusal);

}  // namespace kivtool::idl
