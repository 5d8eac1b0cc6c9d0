// SPDX-License-Identifier: Apache-2.0
// Types and constant expressions of the syntax tree resolved in their scope.
#include "idl_resolver.h"

#include "idl_checks.h"

namespace kivtool::idl {

namespace {

// The names of an expression, looked up from the scope where it stands.
class ExpressionNames : public ExpressionScope {
  public:
    using Resolve = std::function<Symbol *(const ScopedName &)>;
    using Visible = std::function<bool(const std::string &)>;
    using Report = std::function<void(Location, const std::string &)>;
    ExpressionNames(Resolve resolve, Visible visible, Report report)
        : resolve_(std::move(resolve)), visible_(std::move(visible)), report_(std::move(report)) {}
    Symbol *resolve(const ScopedName &name) override { return resolve_(name); }
    bool visible(const std::string &name) override { return visible_(name); }
    void error(Location at, const std::string &message) override { report_(at, message); }

  private:
    Resolve resolve_;
    Visible visible_;
    Report report_;
};

}  // namespace

void Resolver::refuse(Location at, const std::string &what, const char *why) {
    refusing_ = true;
    error(at, quoted(what) + ": " + why);
    throw ParseError{};
}

void Resolver::syntaxError(const SyntaxError &e) {
    if (e.refusal) refusing_ = true;
    error(e.at, e.message);
    if (e.abort) throw Abort{};
    throw ParseError{};
}

Val Resolver::valueOf(const Expr &e, Scope *scope) {
    ExpressionNames names([&](const ScopedName &n) { return resolve(n, scope, "constant"); },
                          [&](const std::string &n) { return findVisible(scope, n) != nullptr; },
                          [&](Location at, const std::string &m) { error(at, m); });
    bool refusal = false;
    std::optional<Val> v = evaluate(e, names, &refusal);
    if (v) return *v;
    if (refusal) refusing_ = true;
    throw ParseError{};
}

uint32_t Resolver::unsignedOf(const Expr &e, Scope *scope, const std::string &what) {
    Val v = valueOf(e, scope);
    kivTLibValue out{};
    if (!convert(v, KIV_TYPE_ULONG, "", what + " (unsigned long)", &out, nullptr))
        throw ParseError{};
    return out.u32;
}

bool Resolver::convert(const Val &v, kivTLibTypeTag tag, const std::string &enumId,
                       const std::string &what, kivTLibValue *out, std::string *text) {
    std::string problem;
    auto enumName = [this](const std::string &id) {
        auto e = byId_.find(id);
        return e == byId_.end() ? id : quoted(e->second->name);
    };
    bool converted = convertValue(v, tag, enumId, what, enumName, out, text, &problem);
    if (!problem.empty()) error(v.at, problem);
    return converted && problem.empty();
}

TypePtr Resolver::resolveType(const TypeExpr &e, Scope *scope, bool allowVoid) {
    TypePtr type = e.fixed;
    switch (e.kind) {
        case TypeExpr::Fixed:
            break;
        case TypeExpr::Void:
            if (!allowVoid) error(e.at, "'void' is only an operation's result type");
            type = basicType(KIV_TYPE_VOID, e.at);
            break;
        case TypeExpr::String: {
            uint32_t bound = e.bound ? unsignedOf(*e.bound, scope, "the string bound") : 0;
            type = anonymousType(e.wide ? KIV_DEF_WSTRING : KIV_DEF_STRING, bound, nullptr, e.at);
            break;
        }
        case TypeExpr::Sequence: {
            TypePtr element = e.element ? resolveType(*e.element, scope, false) : nullptr;
            uint32_t bound = e.bound ? unsignedOf(*e.bound, scope, "the sequence bound") : 0;
            type = anonymousType(KIV_DEF_SEQUENCE, bound, element, e.at);
            break;
        }
        case TypeExpr::Named:
            if (!e.error) return namedType(e, scope);
            break;
    }
    if (e.error) syntaxError(*e.error);
    return type;
}

TypePtr Resolver::namedType(const TypeExpr &e, Scope *scope) {
    const ScopedName &n = e.name;
    Symbol *s = resolve(n, scope, "type", false);
    if (!s) {
        // TypeCode is no keyword: it names a type (CORBA::TypeCode) that no library defines
        // unless a user's own does.
        if (n.parts.back() == "TypeCode")
            refuse(e.at, n.text(), "the type library has no 'TypeCode' type");
        if (refused_.count(n.parts.back())) {  // refused where it was defined
            refusing_ = true;
            throw ParseError{};
        }
        resolve(n, scope, "type");
        refusing_ = true;  // what this definition declares is unknown too, without notice
        throw ParseError{};
    }
    kivTLibTypeTag tag = 0;
    switch (s->kind) {
        case KIV_DEF_STRUCT:
            tag = KIV_TYPE_STRUCT;
            break;
        case KIV_DEF_UNION:
            tag = KIV_TYPE_UNION;
            break;
        case KIV_DEF_ENUM:
            tag = KIV_TYPE_ENUM;
            break;
        case KIV_DEF_ALIAS:
            tag = KIV_TYPE_ALIAS;
            break;
        case KIV_DEF_INTERFACE:
            tag = KIV_TYPE_INTERFACE;
            break;
        default:
            error(e.at, quoted(n.text()) + " is a " + kindWord(s->kind) + ", not a type");
            throw ParseError{};
    }
    auto type = basicType(tag, e.at);
    type->repoId = s->repoId;
    return type;
}

}  // namespace kivtool::idl
