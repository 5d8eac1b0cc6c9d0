// SPDX-License-Identifier: Apache-2.0
// Reading IDL tokens into syntax: the token stream, names, constant expressions and types.
#include "idl_parser.h"

#include <cstdlib>

#include "idl_checks.h"
#include "idl_emitter.h"
#include "idl_text.h"

namespace kivtool::idl {

Token TokenStream::take() {
    // The end of input stays: every later look at it sees the same position.
    if (peek().kind == Tok::End) return tokens_.front();
    Token t = std::move(tokens_.front());
    tokens_.pop_front();
    ++taken_;
    if (names_) {
        if (lastWasName_ && (t.is(";") || t.is(",") || t.is("[")))
            names_->emplace_back(taken_ - 1, lastName_);
        lastWasName_ = t.kind == Tok::Ident || t.kind == Tok::RawIdent;
        if (lastWasName_) lastName_ = t.text;
    }
    return t;
}

void TokenStream::finishNames() {
    if (!names_) return;
    const Token &next = peek();
    if (lastWasName_ && (next.is(";") || next.is(",") || next.is("[")))
        names_->emplace_back(taken_, lastName_);
    names_ = nullptr;
}

bool TokenStream::accept(const char *punct) {
    if (!peek().is(punct)) return false;
    take();
    return true;
}

bool TokenStream::acceptWord(const char *word) {
    if (!peek().isWord(word)) return false;
    take();
    return true;
}

bool TokenStream::splitShift() {
    if (!peek().is(">>")) return false;
    Token &both = tokens_.front();
    both.text = ">";
    both.at.column += 1;
    return true;
}

SyntaxError expectedHere(TokenStream &tokens, const char *punct, const std::string &context) {
    const Token &t = tokens.peek();
    return {t.at, "expected '" + std::string(punct) + "' " + context + ", found " + describe(t)};
}

std::string describe(const Token &t) {
    switch (t.kind) {
        case Tok::End:
            return "end of input";
        case Tok::Ident:
            return quoted(t.text);
        case Tok::RawIdent:
            return "name " + quoted(t.text);
        case Tok::Int:
        case Tok::Float:
            return "number " + t.text;
        case Tok::Char:
            return "character literal";
        case Tok::String:
            return "string literal";
        case Tok::Punct:
            return quoted(t.text);
        case Tok::Pragma:
            return "#pragma";
    }
    return "token";
}

bool readName(TokenStream &tokens, const std::string &what, std::string *name, SyntaxError *error) {
    const Token &t = tokens.peek();
    error->at = t.at;
    if (t.kind == Tok::RawIdent) {
        *name = tokens.take().text;
        return true;
    }
    if (t.kind == Tok::Ident) {
        if (const char *why = unsupported(t.text)) {
            error->refusal = true;
            error->message = quoted(t.text) + ": " + why;
            return false;
        }
        if (isKeyword(t.text)) {
            error->message = "expected " + what + ", found keyword " + quoted(t.text) +
                             " (write _" + t.text + " to use it as a name)";
            return false;
        }
        *name = tokens.take().text;
        return true;
    }
    error->message = "expected " + what + ", found " + describe(t);
    return false;
}

bool endsInError(const Expr &e) {
    const Expr *x = &e;
    while (x->kind == Expr::Unary || x->kind == Expr::Binary)
        x = (x->right ? x->right : x->left).get();
    return x->kind == Expr::Error;
}

bool readScopedName(TokenStream &tokens, const std::string &what, ScopedName *name,
                    SyntaxError *error) {
    name->at = tokens.peek().at;
    if (tokens.accept("::")) name->absolute = true;
    do {
        std::string part;
        if (!readName(tokens, what, &part, error)) return false;
        name->parts.push_back(std::move(part));
    } while (tokens.accept("::"));
    return true;
}

namespace {

// Recursive descent over the operators by precedence, as C has them.
class ExpressionParser {
  public:
    ExpressionParser(TokenStream &tokens, const ExpressionContext &context)
        : tokens_(tokens), nesting_(context.nesting), inBound_(context.inBound) {}

    ExprPtr expression() { return binary(0); }

  private:
    static ExprPtr failure(Location at, std::string message, bool abort = false) {
        auto e = std::make_unique<Expr>();
        e->kind = Expr::Error;
        e->at = at;
        e->error = {at, std::move(message), false, abort};
        return e;
    }
    static bool failed(const ExprPtr &e) { return e->kind == Expr::Error; }
    static ExprPtr operation(Expr::Kind kind, const Token &op, ExprPtr left, ExprPtr right) {
        auto e = std::make_unique<Expr>();
        e->kind = kind;
        e->at = op.at;
        e->op = op.text;
        e->left = std::move(left);
        e->right = std::move(right);
        return e;
    }
    static bool endsInError(const ExprPtr &e) { return idl::endsInError(*e); }
    ExprPtr tooDeep(Location at) {
        return failure(at, "nested more than " + std::to_string(kMaxNesting) + " levels deep",
                       true);
    }

    int precedence(const Token &t) const {
        if (t.kind != Tok::Punct) return -1;
        if (inBound_ && t.text == ">>") return -1;
        if (t.text == "|") return 0;
        if (t.text == "^") return 1;
        if (t.text == "&") return 2;
        if (t.text == "<<" || t.text == ">>") return 3;
        if (t.text == "+" || t.text == "-") return 4;
        if (t.text == "*" || t.text == "/" || t.text == "%") return 5;
        return -1;
    }

    ExprPtr binary(int level) {
        if (level > 5) return unary();
        ExprPtr left = binary(level + 1);
        while (!endsInError(left) && precedence(tokens_.peek()) == level) {
            Token op = tokens_.take();
            ExprPtr right = binary(level + 1);
            left = operation(Expr::Binary, op, std::move(left), std::move(right));
        }
        return left;
    }

    ExprPtr unary() {
        const Token &t = tokens_.peek();
        if (!t.is("-") && !t.is("+") && !t.is("~")) return primary();
        Token op = tokens_.take();
        if (++nesting_ > kMaxNesting) return tooDeep(op.at);
        ExprPtr operand = unary();
        --nesting_;
        return operation(Expr::Unary, op, std::move(operand), nullptr);
    }

    ExprPtr literal(Val v) {
        auto e = std::make_unique<Expr>();
        e->at = v.at;
        e->value = std::move(v);
        return e;
    }

    ExprPtr primary() {
        Token t = tokens_.peek();
        Val v;
        v.at = t.at;
        switch (t.kind) {
            case Tok::Int:
                tokens_.take();
                if (t.overflow || t.value >= static_cast<U128>(1) << 64)
                    return failure(t.at, "integer literal does not fit in 64 bits");
                v.kind = Val::Int;
                v.i = static_cast<I128>(t.value);
                // Decimal constants read the digits as written (-0 keeps its sign).
                if (t.text.find_first_not_of("0123456789") == std::string::npos) v.literal = t.text;
                return literal(std::move(v));
            case Tok::Float:
                tokens_.take();
                v.kind = Val::Float;
                v.literal = t.text;
                v.f = std::strtod(t.text.c_str(), nullptr);
                return literal(std::move(v));
            case Tok::Char:
                tokens_.take();
                v.kind = t.wide ? Val::WChar : Val::Char;
                v.i = static_cast<I128>(t.value);
                return literal(std::move(v));
            case Tok::String:
                v.kind = t.wide ? Val::WStr : Val::Str;
                while (tokens_.peek().kind == Tok::String) {
                    Token part = tokens_.take();
                    if (part.wide != t.wide)
                        return failure(part.at, "cannot join a wide and a narrow string");
                    v.s += part.text;
                }
                return literal(std::move(v));
            default:
                break;
        }
        if (t.is("(")) return parenthesised(t.at);
        if (t.isWord("TRUE") || t.isWord("FALSE")) {
            tokens_.take();
            v.kind = Val::Bool;
            v.i = t.text == "TRUE";
            return literal(std::move(v));
        }
        if (t.kind == Tok::Ident && t.text == "bits" && tokens_.peek(1).is("(")) return bits(v);
        if (t.kind == Tok::Ident || t.kind == Tok::RawIdent || t.is("::")) return name();
        return failure(t.at, "expected a constant expression, found " + describe(t));
    }

    ExprPtr parenthesised(Location at) {
        tokens_.take();
        if (++nesting_ > kMaxNesting) return tooDeep(at);
        bool savedInBound = inBound_;
        inBound_ = false;  // a shift in parentheses is a shift
        ExprPtr inner = expression();
        inBound_ = savedInBound;
        --nesting_;
        if (endsInError(inner)) return inner;
        if (!tokens_.accept(")")) return closing("to close the parenthesis");
        return inner;
    }

    ExprPtr closing(const std::string &context) {
        SyntaxError e = expectedHere(tokens_, ")", context);
        return failure(e.at, std::move(e.message));
    }

    ExprPtr bits(Val v) {
        tokens_.take();
        tokens_.take();
        Token n = tokens_.take();
        if (n.kind != Tok::Int || n.overflow) return failure(n.at, "bits(...) expects a number");
        if (!tokens_.accept(")")) return closing("to close bits(...)");
        v.kind = Val::Bits;
        v.bits = n.value;
        return literal(std::move(v));
    }

    ExprPtr name() {
        auto e = std::make_unique<Expr>();
        e->kind = Expr::Name;
        e->at = tokens_.peek().at;
        e->raw = tokens_.peek().kind == Tok::RawIdent;
        SyntaxError problem;
        if (readScopedName(tokens_, "a constant name", &e->name, &problem)) return e;
        auto f = failure(problem.at, problem.message);
        f->error.refusal = problem.refusal;
        return f;
    }

    TokenStream &tokens_;
    size_t nesting_;
    bool inBound_;
};

}  // namespace

ExprPtr parseExpression(TokenStream &tokens, const ExpressionContext &context) {
    return ExpressionParser(tokens, context).expression();
}

namespace {

class TypeParser {
  public:
    TypeParser(TokenStream &tokens, size_t nesting) : tokens_(tokens), nesting_(nesting) {}

    TypeExprPtr type() {
        const Token t = tokens_.peek();
        auto node = std::make_unique<TypeExpr>();
        node->at = t.at;
        if (t.kind == Tok::Ident) {
            if (tokens_.peek(1).kind == Tok::String && byId(*node, t)) return node;
            if (t.text == "void") {
                tokens_.take();
                node->kind = TypeExpr::Void;
                return node;
            }
            if (basic(*node, t)) return node;
            if (t.text == "string" || t.text == "wstring") return string(std::move(node), t);
            if (t.text == "sequence") return sequence(std::move(node));
            if (const char *why = unsupported(t.text))
                return stop(std::move(node), t.at, quoted(t.text) + ": " + why, true);
            if (isKeyword(t.text) && t.text != "Object")
                return stop(std::move(node), t.at,
                            "expected a type, found keyword " + quoted(t.text));
        }
        if (t.kind != Tok::Ident && t.kind != Tok::RawIdent && !t.is("::"))
            return stop(std::move(node), t.at, "expected a type, found " + describe(t));
        return named(std::move(node));
    }

  private:
    TypeExprPtr stop(TypeExprPtr node, Location at, std::string message, bool refusal = false,
                     bool abort = false) {
        node->error = SyntaxError{at, std::move(message), refusal, abort};
        stopped_ = true;
        return node;
    }
    // A syntax error at the next token.
    void stopAt(TypeExpr &node, std::string message) {
        node.error = SyntaxError{tokens_.peek().at, std::move(message)};
        stopped_ = true;
    }
    TypeExprPtr expected(TypeExprPtr node, const char *punct, const std::string &context) {
        node->error = expectedHere(tokens_, punct, context);
        stopped_ = true;
        return node;
    }

    // `struct "ID"` and the like: a type given by its repository id.
    bool byId(TypeExpr &node, const Token &t) {
        static const std::pair<const char *, kivTLibTypeTag> raw[] = {
            {"struct", KIV_TYPE_STRUCT},       {"union", KIV_TYPE_UNION},
            {"enum", KIV_TYPE_ENUM},           {"typedef", KIV_TYPE_ALIAS},
            {"interface", KIV_TYPE_INTERFACE}, {"string", KIV_TYPE_STRING},
            {"wstring", KIV_TYPE_WSTRING},     {"sequence", KIV_TYPE_SEQUENCE},
            {"array", KIV_TYPE_ARRAY}};
        for (auto &[word, tag] : raw) {
            if (t.text != word) continue;
            tokens_.take();
            node.fixed = basicType(tag, t.at);
            node.fixed->repoId = tokens_.take().text;
            return true;
        }
        return false;
    }

    bool basic(TypeExpr &node, const Token &t) {
        static const std::pair<const char *, kivTLibTypeTag> basic[] = {
            {"boolean", KIV_TYPE_BOOLEAN},     {"octet", KIV_TYPE_OCTET},
            {"char", KIV_TYPE_CHAR},           {"wchar", KIV_TYPE_WCHAR},
            {"short", KIV_TYPE_SHORT},         {"float", KIV_TYPE_FLOAT},
            {"double", KIV_TYPE_DOUBLE},       {"decimal32", KIV_TYPE_DECIMAL32},
            {"decimal64", KIV_TYPE_DECIMAL64}, {"decimal128", KIV_TYPE_DECIMAL128}};
        for (auto &[word, tag] : basic)
            if (t.text == word) {
                tokens_.take();
                node.fixed = basicType(tag, t.at);
                return true;
            }
        kivTLibTypeTag tag = 0;
        if (t.text == "long") {
            tokens_.take();
            tag = tokens_.acceptWord("long") ? KIV_TYPE_LONGLONG : KIV_TYPE_LONG;
            if (tag == KIV_TYPE_LONG && tokens_.peek().isWord("double")) {
                stopAt(node, "the type library has no 'long double' type");
                return true;
            }
        } else if (t.text == "unsigned") {
            tokens_.take();
            if (tokens_.acceptWord("short")) {
                tag = KIV_TYPE_USHORT;
            } else if (tokens_.acceptWord("long")) {
                tag = tokens_.acceptWord("long") ? KIV_TYPE_ULONGLONG : KIV_TYPE_ULONG;
            } else {
                stopAt(node, "expected 'short' or 'long' after 'unsigned'");
                return true;
            }
        } else {
            return false;
        }
        node.fixed = basicType(tag, t.at);
        return true;
    }

    // A bound inside <...>, where '>>' closes two lists as in C++11.
    void bound(TypeExpr &node) {
        node.bound = parseExpression(tokens_, {nesting_, true});
        if (endsInError(*node.bound)) stopped_ = true;
    }
    // Takes the '>' that closes a list: a lone one, or the first half of '>>'.
    TypeExprPtr close(TypeExprPtr node, const std::string &context) {
        if (tokens_.splitShift() || tokens_.accept(">")) return node;
        return expected(std::move(node), ">", context);
    }

    TypeExprPtr string(TypeExprPtr node, const Token &t) {
        bool wide = t.text == "wstring";
        tokens_.take();
        if (!tokens_.accept("<")) {
            node->fixed = basicType(wide ? KIV_TYPE_WSTRING : KIV_TYPE_STRING, t.at);
            return node;
        }
        node->kind = TypeExpr::String;
        node->wide = wide;
        bound(*node);
        if (stopped_) return node;
        return close(std::move(node), "after the string bound");
    }

    TypeExprPtr sequence(TypeExprPtr node) {
        tokens_.take();
        node->kind = TypeExpr::Sequence;
        if (!tokens_.accept("<")) return expected(std::move(node), "<", "after 'sequence'");
        if (Location at = node->at; ++nesting_ > kMaxNesting)
            return stop(std::move(node), at,
                        "nested more than " + std::to_string(kMaxNesting) + " levels deep", false,
                        true);
        node->element = type();
        if (!stopped_ && tokens_.accept(",")) bound(*node);
        if (!stopped_) node = close(std::move(node), "to close the sequence type");
        --nesting_;
        return node;
    }

    TypeExprPtr named(TypeExprPtr node) {
        node->kind = TypeExpr::Named;
        SyntaxError problem;
        if (readScopedName(tokens_, "a type name", &node->name, &problem)) return node;
        return stop(std::move(node), problem.at, problem.message, problem.refusal);
    }

    TokenStream &tokens_;
    size_t nesting_;
    bool stopped_ = false;  // a syntax error ended the reading
};

}  // namespace

TypeExprPtr parseType(TokenStream &tokens, size_t nesting) {
    return TypeParser(tokens, nesting).type();
}

bool endsInError(const TypeExpr &e) {
    if (e.error) return true;
    if (e.bound) return endsInError(*e.bound);
    return e.element && endsInError(*e.element);
}

}  // namespace kivtool::idl
