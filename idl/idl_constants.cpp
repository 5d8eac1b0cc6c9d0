// SPDX-License-Identifier: Apache-2.0
// Values of IDL constant expressions and their conversion to the type they meet.
#include "idl_constants.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <vector>

#include "idl_ast.h"

namespace kivtool::idl {

bool convertValue(const Val &v, kivTLibTypeTag tag, const std::string &enumId,
                  const std::string &what,
                  const std::function<std::string(const std::string &)> &enumName,
                  kivTLibValue *out, std::string *text, std::string *problem) {
    *out = kivTLibValue{};
    out->tag = tag;
    auto bad = [&](const std::string &message) {
        *problem = message;
        return false;
    };
    auto integer = [&](I128 low, I128 high, const char *typeName) {
        if (v.kind != Val::Int) return bad("expected an integer for " + what);
        if (v.i < low || v.i > high) {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%s%" PRIu64, v.i < 0 ? "-" : "",
                          static_cast<uint64_t>(v.i < 0 ? -v.i : v.i));
            return bad(std::string("value ") + buffer + " is out of the range of " + typeName);
        }
        return true;
    };
    auto bitsOf = [&](int width, Bits128 *bits) {
        if (v.kind != Val::Bits) return false;
        if ((width < 128 && v.bits >> width) || (v.bitsWidth && v.bitsWidth != width)) {
            bad("bits(...) value does not fit " + what);
            return true;
        }
        *bits = v.bits;
        return true;
    };
    Bits128 bits = 0;
    switch (tag) {
        case KIV_TYPE_BOOLEAN:
            if (bitsOf(8, &bits)) {
                out->u8 = static_cast<uint8_t>(bits);
                return true;
            }
            if (v.kind != Val::Bool) return bad("expected TRUE or FALSE for " + what);
            out->u8 = static_cast<uint8_t>(v.i);
            return true;
        case KIV_TYPE_OCTET:
            if (!integer(0, 255, "octet")) return false;
            out->u8 = static_cast<uint8_t>(v.i);
            return true;
        case KIV_TYPE_CHAR:
            if (v.kind != Val::Char) return bad("expected a character literal for " + what);
            out->u8 = static_cast<uint8_t>(v.i);
            return true;
        case KIV_TYPE_WCHAR:
            if (v.kind != Val::Char && v.kind != Val::WChar)
                return bad("expected a character literal for " + what);
            out->u16 = static_cast<uint16_t>(v.i);
            return true;
        case KIV_TYPE_SHORT:
            if (!integer(INT16_MIN, INT16_MAX, "short")) return false;
            out->u16 = static_cast<uint16_t>(v.i);
            return true;
        case KIV_TYPE_USHORT:
            if (!integer(0, UINT16_MAX, "unsigned short")) return false;
            out->u16 = static_cast<uint16_t>(v.i);
            return true;
        case KIV_TYPE_LONG:
            if (!integer(INT32_MIN, INT32_MAX, "long")) return false;
            out->u32 = static_cast<uint32_t>(v.i);
            return true;
        case KIV_TYPE_ULONG:
            if (!integer(0, UINT32_MAX, "unsigned long")) return false;
            out->u32 = static_cast<uint32_t>(v.i);
            return true;
        case KIV_TYPE_LONGLONG:
            if (!integer(INT64_MIN, INT64_MAX, "long long")) return false;
            out->u64 = static_cast<uint64_t>(v.i);
            return true;
        case KIV_TYPE_ULONGLONG:
            if (!integer(0, UINT64_MAX, "unsigned long long")) return false;
            out->u64 = static_cast<uint64_t>(v.i);
            return true;
        case KIV_TYPE_FLOAT:
        case KIV_TYPE_DOUBLE: {
            bool single = tag == KIV_TYPE_FLOAT;
            if (bitsOf(single ? 32 : 64, &bits)) {
                if (single)
                    out->u32 = static_cast<uint32_t>(bits);
                else
                    out->u64 = static_cast<uint64_t>(bits);
                return true;
            }
            if (v.kind == Val::Int) {
                if (single)
                    out->f32 = static_cast<float>(v.i);
                else
                    out->f64 = static_cast<double>(v.i);
                return true;
            }
            if (v.kind != Val::Float) return bad("expected a floating-point number for " + what);
            if (!v.literal.empty()) {
                if (single) {
                    auto b = floatBits(v.literal);
                    if (!b) return bad("value " + v.literal + " is out of the range of float");
                    out->u32 = *b;
                } else {
                    auto b = doubleBits(v.literal);
                    if (!b) return bad("value " + v.literal + " is out of the range of double");
                    out->u64 = *b;
                }
                return true;
            }
            if (single) {
                float f = static_cast<float>(v.f);
                if (std::isinf(f) && !std::isinf(v.f))
                    return bad("value is out of the range of float");
                out->f32 = f;
            } else {
                out->f64 = v.f;
            }
            return true;
        }
        case KIV_TYPE_STRING:
        case KIV_TYPE_WSTRING:
            if (v.kind != Val::Str && !(v.kind == Val::WStr && tag == KIV_TYPE_WSTRING))
                return bad(std::string("expected a ") + (tag == KIV_TYPE_STRING ? "" : "wide ") +
                           "string literal for " + what);
            if (v.s.find('\0') != std::string::npos)
                return bad("a string constant cannot hold a NUL character");
            if (text) *text = v.s;
            return true;
        case KIV_TYPE_ENUM:
            if (v.kind == Val::Enum) {
                if (v.enumId != enumId)
                    return bad("the enumerator belongs to " + enumName(v.enumId) +
                               ", not to the enumeration of " + what);
                out->u32 = static_cast<uint32_t>(v.i);
                return true;
            }
            if (!integer(0, UINT32_MAX, "an enumeration")) return false;
            out->u32 = static_cast<uint32_t>(v.i);
            return true;
        case KIV_TYPE_DECIMAL32:
        case KIV_TYPE_DECIMAL64:
        case KIV_TYPE_DECIMAL128: {
            int width = tag == KIV_TYPE_DECIMAL32 ? 32 : tag == KIV_TYPE_DECIMAL64 ? 64 : 128;
            if (!bitsOf(width, &bits)) {
                std::string literal;
                if (v.kind == Val::Int && !v.literal.empty()) {
                    literal = v.literal;
                } else if (v.kind == Val::Int) {
                    char buffer[64];
                    std::snprintf(buffer, sizeof buffer, "%s%" PRIu64, v.i < 0 ? "-" : "",
                                  static_cast<uint64_t>(v.i < 0 ? -v.i : v.i));
                    literal = buffer;
                } else if (v.kind == Val::Float && !v.literal.empty()) {
                    literal = v.literal;
                } else {
                    return bad(
                        "a decimal constant takes a number literal, optionally "
                        "negated (no arithmetic)");
                }
                std::string why;
                auto b = decimalBits(literal, width, &why);
                if (!b) return bad("decimal literal " + literal + ": " + why);
                bits = *b;
            }
            if (width == 32)
                out->u32 = static_cast<uint32_t>(bits);
            else if (width == 64)
                out->u64 = static_cast<uint64_t>(bits);
            else {
                out->d128[0] = static_cast<uint64_t>(bits);
                out->d128[1] = static_cast<uint64_t>(bits >> 64);
            }
            return true;
        }
        default:
            return bad("no value has this type");
    }
}

std::optional<Val> valueOfConstant(const kivTLibValue &k, const std::string &text,
                                   const std::string &typeId, Location at) {
    Val v;
    v.at = at;
    switch (k.tag) {
        case KIV_TYPE_BOOLEAN:
            if (k.u8 > 1) {
                v.kind = Val::Bits;
                v.bits = k.u8;
            } else {
                v.kind = Val::Bool;
                v.i = k.u8;
            }
            break;
        case KIV_TYPE_OCTET:
            v.i = k.u8;
            break;
        case KIV_TYPE_CHAR:
            v.kind = Val::Char;
            v.i = k.u8;
            break;
        case KIV_TYPE_WCHAR:
            v.kind = Val::WChar;
            v.i = k.u16;
            break;
        case KIV_TYPE_SHORT:
            v.i = static_cast<int16_t>(k.u16);
            break;
        case KIV_TYPE_USHORT:
            v.i = k.u16;
            break;
        case KIV_TYPE_LONG:
            v.i = static_cast<int32_t>(k.u32);
            break;
        case KIV_TYPE_ULONG:
            v.i = k.u32;
            break;
        case KIV_TYPE_LONGLONG:
            v.i = static_cast<int64_t>(k.u64);
            break;
        case KIV_TYPE_ULONGLONG:
            v.i = k.u64;
            break;
        case KIV_TYPE_FLOAT:
            v.kind = Val::Float;
            v.f = k.f32;
            v.literal = floatLiteral(k.f32);
            break;
        case KIV_TYPE_DOUBLE:
            v.kind = Val::Float;
            v.f = k.f64;
            v.literal = floatLiteral(k.f64);
            break;
        case KIV_TYPE_STRING:
            v.kind = Val::Str;
            v.s = text;
            break;
        case KIV_TYPE_WSTRING:
            v.kind = Val::WStr;
            v.s = text;
            break;
        case KIV_TYPE_ENUM:
            v.kind = Val::Enum;
            v.enumId = typeId;
            v.i = k.u32;
            break;
        case KIV_TYPE_DECIMAL32:
            v.kind = Val::Bits;
            v.bits = k.u32;
            v.bitsWidth = 32;
            break;
        case KIV_TYPE_DECIMAL64:
            v.kind = Val::Bits;
            v.bits = k.u64;
            v.bitsWidth = 64;
            break;
        case KIV_TYPE_DECIMAL128:
            v.kind = Val::Bits;
            v.bits = (static_cast<Bits128>(k.d128[1]) << 64) | k.d128[0];
            v.bitsWidth = 128;
            break;
        default:
            return std::nullopt;
    }
    return v;
}

bool within64Bits(const Val &v) {
    static const I128 limit = static_cast<I128>(1) << 64;
    return v.i < limit && v.i >= -limit;
}

std::optional<Val> applyOperator(std::string_view o, const Val &a, const Val &b,
                                 std::string *problem) {
    auto refuse = [problem](std::string why) {
        *problem = std::move(why);
        return std::nullopt;
    };
    if (a.kind == Val::Int && b.kind == Val::Int) {
        Val r = a;
        r.literal.clear();
        if ((o == "/" || o == "%") && b.i == 0)
            return refuse("division by zero in a constant expression");
        if ((o == "<<" || o == ">>") && (b.i < 0 || b.i >= 64))
            return refuse("shift count must be 0 to 63");
        if (o == "|")
            r.i = a.i | b.i;
        else if (o == "^")
            r.i = a.i ^ b.i;
        else if (o == "&")
            r.i = a.i & b.i;
        else if (o == "<<")
            r.i = a.i << static_cast<int>(b.i);
        else if (o == ">>")
            r.i = a.i >> static_cast<int>(b.i);
        else if (o == "+")
            r.i = a.i + b.i;
        else if (o == "-")
            r.i = a.i - b.i;
        else if (o == "*") {
            static const I128 limit = static_cast<I128>(1) << 64;
            if (a.i != 0 && (b.i >= limit || b.i < -limit || (a.i >= limit / 2 && b.i >= 2)))
                return refuse(kOverflow);
            I128 p = a.i * b.i;
            if (a.i != 0 && p / a.i != b.i) return refuse(kOverflow);
            r.i = p;
        } else if (o == "/")
            r.i = a.i / b.i;
        else
            r.i = a.i % b.i;
        if (!within64Bits(r)) return refuse(kOverflow);
        return r;
    }
    bool numeric = (a.kind == Val::Int || a.kind == Val::Float) &&
                   (b.kind == Val::Int || b.kind == Val::Float);
    if (!numeric || !(o == "+" || o == "-" || o == "*" || o == "/"))
        return refuse("operator '" + std::string(o) + "' does not apply to these values");
    double x = a.kind == Val::Int ? static_cast<double>(a.i) : a.f;
    double y = b.kind == Val::Int ? static_cast<double>(b.i) : b.f;
    Val r;
    r.kind = Val::Float;
    r.at = a.at;
    r.f = o == "+" ? x + y : o == "-" ? x - y : o == "*" ? x * y : x / y;
    return r;
}

}  // namespace kivtool::idl

namespace kivtool::idl {

namespace {

struct Failed {};  // reported

class Evaluation {
  public:
    explicit Evaluation(ExpressionScope &scope) : scope_(scope) {}

    Val value(const Expr &e) {
        switch (e.kind) {
            case Expr::Literal:
                return e.value;
            case Expr::Name:
                return named(e);
            case Expr::Unary:
                return unary(e);
            case Expr::Binary:
                return chain(e);
            case Expr::Error:
                break;
        }
        refusal = e.error.refusal;
        scope_.error(e.error.at, e.error.message);
        if (e.error.abort) throw Abort{};
        throw Failed{};
    }

    bool refusal = false;

  private:
    [[noreturn]] void fail(Location at, const std::string &message) {
        scope_.error(at, message);
        throw Failed{};
    }

    // `a OP b OP c ...`: the operators along the left edge of the tree, innermost first, each
    // applied once its right operand is known (a loop, however long the chain).
    Val chain(const Expr &e) {
        std::vector<const Expr *> spine;
        const Expr *x = &e;
        for (; x->kind == Expr::Binary; x = x->left.get()) spine.push_back(x);
        Val a = value(*x);
        for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
            Val b = value(*(*it)->right);
            std::string problem;
            std::optional<Val> r = applyOperator((*it)->op, a, b, &problem);
            if (!r) fail((*it)->at, problem);
            a = std::move(*r);
        }
        return a;
    }

    static void negateLiteral(std::string &literal) {
        if (!literal.empty()) literal = literal[0] == '-' ? literal.substr(1) : "-" + literal;
    }

    Val unary(const Expr &e) {
        Val v = value(*e.left);
        if (v.kind == Val::Int) {
            v.i = e.op == "-" ? -v.i : e.op == "~" ? ~v.i : v.i;
            if (e.op == "~") v.literal.clear();
            if (e.op == "-") negateLiteral(v.literal);
            if (!within64Bits(v)) fail(e.at, kOverflow);
        } else if (v.kind == Val::Float && e.op != "~") {
            if (e.op == "-") {
                v.f = -v.f;
                negateLiteral(v.literal);
            }
        } else {
            fail(e.at, "operator '" + e.op + "' does not apply to this value");
        }
        v.at = e.at;
        return v;
    }

    Val named(const Expr &e) {
        Val v;
        v.at = e.at;
        const ScopedName &n = e.name;
        if (!e.raw && !n.absolute && n.parts.size() == 1) {
            const std::string &word = n.parts[0];
            if ((word == "NaN" || word == "Infinity" || word == "sNaN") && !scope_.visible(word)) {
                v.kind = Val::Float;
                v.literal = word;
                v.f = word == "Infinity" ? HUGE_VAL : NAN;
                return v;
            }
        }
        Symbol *s = scope_.resolve(n);
        if (!s) throw Failed{};
        if (s->kind == kEnumerator) {
            v.kind = Val::Enum;
            v.enumId = s->enumId;
            v.i = s->enumValue;
            return v;
        }
        if (s->kind != KIV_DEF_CONSTANT)
            fail(e.at, quoted(n.text()) + " is a " + kindWord(s->kind) + ", not a constant");
        std::optional<Val> c = valueOfConstant(s->constValue, s->constText, s->constTypeId, e.at);
        if (!c) fail(e.at, "this constant's value cannot be used in an expression");
        return *c;
    }

    ExpressionScope &scope_;
};

}  // namespace

std::optional<Val> evaluate(const Expr &expression, ExpressionScope &scope, bool *refusal) {
    Evaluation evaluation(scope);
    try {
        return evaluation.value(expression);
    } catch (const Failed &) {
        *refusal = evaluation.refusal;
        return std::nullopt;
    }
}

}  // namespace kivtool::idl
