// SPDX-License-Identifier: Apache-2.0
// Reading IDL declarations into syntax: constants, typedef declarators, annotations, pragmas,
// and the skip over a broken declaration.
#include "idl_parser.h"

#include "idl_emitter.h"
#include "idl_repoids.h"
#include "idl_text.h"

namespace kivtool::idl {

namespace {

// The closing part of a declaration: reading ends, and the names taken since its type end.
template <class Node>
Node &finish(TokenStream &tokens, Node &node, std::optional<SyntaxError> error = {}) {
    tokens.finishNames();
    node.error = std::move(error);
    return node;
}

// The end of a declaration that closes with ';': complete when the ';' is there.
template <class Node>
Node &finishAtSemicolon(TokenStream &tokens, Node &node, const char *context) {
    if (!tokens.accept(";")) return finish(tokens, node, expectedHere(tokens, ";", context));
    node.complete = true;
    return finish(tokens, node);
}

}  // namespace

ConstDecl parseConstant(TokenStream &tokens, size_t nesting) {
    ConstDecl d;
    d.keyword = tokens.take().at;
    d.type = parseType(tokens, nesting);
    if (endsInError(*d.type)) return d;
    tokens.collectNames(&d.declared);
    d.nameAt = tokens.peek().at;
    SyntaxError problem;
    if (!readName(tokens, "a constant name", &d.name, &problem))
        return std::move(finish(tokens, d, problem));
    if (!tokens.accept("="))
        return std::move(finish(tokens, d, expectedHere(tokens, "=", "after the constant name")));
    d.value = parseExpression(tokens, {nesting, false});
    if (endsInError(*d.value)) return std::move(finish(tokens, d));
    return std::move(finishAtSemicolon(tokens, d, "after the constant"));
}

AnonymousDecl parseAnonymous(TokenStream &tokens, size_t nesting) {
    AnonymousDecl d;
    tokens.take();
    Token id = tokens.take();
    d.at = id.at;
    d.id = id.text;
    d.type = parseType(tokens, nesting);
    if (endsInError(*d.type)) return d;
    tokens.collectNames(&d.declared);
    if (!parseLengths(tokens, nesting, &d.lengths, &d.error))
        return std::move(finish(tokens, d, d.error));
    return std::move(finishAtSemicolon(tokens, d, "after the anonymous type"));
}

bool parseLengths(TokenStream &tokens, size_t nesting, ArrayLengths *lengths,
                  std::optional<SyntaxError> *error) {
    while (tokens.peek().is("[")) {
        Location at = tokens.take().at;
        lengths->emplace_back(parseExpression(tokens, {nesting, false}), at);
        if (endsInError(*lengths->back().first)) return false;
        if (!tokens.accept("]")) {
            *error = expectedHere(tokens, "]", "after the array length");
            return false;
        }
    }
    return true;
}

namespace {

// One declarator; false when reading stopped at a syntax error (in `error` unless it is in
// the expression of a length).
bool readDeclarator(TokenStream &tokens, size_t nesting, const char *what, Declarator &x,
                    std::optional<SyntaxError> *error) {
    x.at = tokens.peek().at;
    SyntaxError problem;
    if (!readName(tokens, what, &x.name, &problem)) {
        *error = problem;
        return false;
    }
    x.named = true;
    if (!parseLengths(tokens, nesting, &x.lengths, error)) return false;
    x.done = true;
    return true;
}

}  // namespace

Declarators parseDeclarators(TokenStream &tokens, size_t nesting, const char *what, bool closes) {
    Declarators d;
    tokens.collectNames(&d.declared);
    do {
        std::optional<SyntaxError> error;
        if (!readDeclarator(tokens, nesting, what, d.list.emplace_back(), &error))
            return std::move(finish(tokens, d, error));
    } while (tokens.accept(","));
    if (!closes) return std::move(finish(tokens, d));
    return std::move(finishAtSemicolon(tokens, d, "after the typedef"));
}

OperationDecl parseOperation(TokenStream &tokens, size_t nesting) {
    OperationDecl d;
    tokens.collectNames(&d.declared);
    d.result = parseType(tokens, nesting);
    d.resultEnd = tokens.taken();
    if (endsInError(*d.result)) return std::move(finish(tokens, d));
    d.at = tokens.peek().at;
    SyntaxError problem;
    if (!readName(tokens, "an operation name", &d.name, &problem))
        return std::move(finish(tokens, d, problem));
    d.named = true;
    if (!tokens.accept("("))
        return std::move(finish(tokens, d, expectedHere(tokens, "(", "after the operation name")));
    if (!tokens.peek().is(")")) {
        do {
            ParamDecl &p = d.params.emplace_back();
            p.annotations = parseAnnotations(tokens, nesting);
            if (p.annotations.error ||
                (!p.annotations.items.empty() && p.annotations.items.back().flags &&
                 endsInError(*p.annotations.items.back().flags)))
                return std::move(finish(tokens, d));
            Token dir = tokens.take();
            p.at = dir.at;
            p.direction = dir.isWord("in")      ? KIV_PARAM_IN
                          : dir.isWord("out")   ? KIV_PARAM_OUT
                          : dir.isWord("inout") ? KIV_PARAM_INOUT
                                                : 0;
            if (!p.direction)
                return std::move(finish(
                    tokens, d,
                    SyntaxError{dir.at, "expected in, out or inout before the parameter, found " +
                                            describe(dir)}));
            p.type = parseType(tokens, nesting);
            p.typeEnd = tokens.taken();
            if (endsInError(*p.type)) return std::move(finish(tokens, d));
            std::optional<SyntaxError> error;
            if (!readDeclarator(tokens, nesting, "a parameter name", p.declarator, &error))
                return std::move(finish(tokens, d, error));
        } while (tokens.accept(","));
    }
    if (!tokens.accept(")"))
        return std::move(
            finish(tokens, d, expectedHere(tokens, ")", "to close the parameter list")));
    d.complete = true;
    return std::move(finish(tokens, d));
}

UnionCase parseUnionCase(TokenStream &tokens, size_t nesting) {
    UnionCase c;
    for (;;) {
        if (tokens.acceptWord("case")) {
            CaseLabel &label = c.labels.emplace_back();
            label.at = tokens.peek().at;
            label.value = parseExpression(tokens, {nesting, false});
            if (endsInError(*label.value)) return c;
            if (!tokens.accept(":")) {
                c.error = expectedHere(tokens, ":", "after the case label");
                return c;
            }
        } else if (tokens.peek().isWord("default")) {
            CaseLabel &label = c.labels.emplace_back();
            label.at = tokens.take().at;
            if (!tokens.accept(":")) {
                c.error = expectedHere(tokens, ":", "after 'default'");
                return c;
            }
        } else {
            break;
        }
        c.labels.back().done = true;
    }
    if (c.labels.empty()) {
        c.error = SyntaxError{tokens.peek().at,
                              "expected 'case' or 'default', found " + describe(tokens.peek())};
        return c;
    }
    tokens.collectNames(&c.declared);
    c.type = parseType(tokens, nesting);
    c.typeEnd = tokens.taken();
    if (endsInError(*c.type)) return std::move(finish(tokens, c));
    std::optional<SyntaxError> error;
    c.complete = readDeclarator(tokens, nesting, "a case member name", c.declarator, &error);
    return std::move(finish(tokens, c, error));
}

Enumerators parseEnumerators(TokenStream &tokens, size_t nesting) {
    Enumerators d;
    while (!tokens.peek().is("}")) {
        Enumerator &e = d.list.emplace_back();
        e.at = tokens.peek().at;
        SyntaxError problem;
        if (!readName(tokens, "an enumerator", &e.name, &problem)) {
            d.error = problem;
            return d;
        }
        e.named = true;
        if (tokens.accept("=")) {
            e.value = parseExpression(tokens, {nesting, false});
            if (endsInError(*e.value)) return d;
        }
        if (!tokens.accept(",")) break;
    }
    return d;
}

TypeHead parseTypeHead(TokenStream &tokens, size_t nesting, bool nameGiven) {
    TypeHead h;
    Token keyword = tokens.take();
    bool isUnion = keyword.isWord("union");
    const char *what = keyword.isWord("struct") ? "structure" : isUnion ? "union" : "enumeration";
    h.at = tokens.peek().at;
    if (!nameGiven) {
        SyntaxError problem;
        if (!readName(tokens, std::string(keyword.isWord("enum") ? "an " : "a ") + what + " name",
                      &h.name, &problem)) {
            h.error = problem;
            return h;
        }
        h.named = true;
    }
    if (keyword.isWord("enum")) return h;
    if (tokens.peek().is(";")) {
        h.forward = true;
        h.error = SyntaxError{tokens.peek().at, std::string("forward-declared ") + what +
                                                    "s are not part of the type library"};
        return h;
    }
    if (!isUnion) return h;
    if (!tokens.acceptWord("switch")) {
        h.error = SyntaxError{tokens.peek().at, "expected 'switch' after the union name"};
        return h;
    }
    h.switched = true;
    if (!tokens.accept("(")) {
        h.error = expectedHere(tokens, "(", "after 'switch'");
        return h;
    }
    h.discriminator = parseType(tokens, nesting);
    if (endsInError(*h.discriminator)) return h;
    if (!tokens.accept(")")) h.error = expectedHere(tokens, ")", "after the discriminator type");
    return h;
}

ScopeHead parseScopeHead(TokenStream &tokens) {
    ScopeHead h;
    Token keyword = tokens.take();
    h.keyword = keyword.at;
    h.at = tokens.peek().at;
    SyntaxError problem;
    bool isModule = keyword.isWord("module");
    if (!readName(tokens, isModule ? "a module name" : "an interface name", &h.name, &problem)) {
        h.error = problem;
        return h;
    }
    h.named = true;
    if (isModule) return h;
    if (tokens.peek().is(";")) {
        h.forward = true;
        return h;
    }
    if (tokens.accept(":")) {
        h.based = true;
        if (tokens.peek().isWord("interface") && tokens.peek(1).kind == Tok::String) {
            tokens.take();
            h.byId = true;
            h.baseAt = tokens.peek().at;
            h.baseId = tokens.take().text;
        } else {
            if (!readScopedName(tokens, "a base interface name", &h.base, &problem)) {
                h.error = problem;
                return h;
            }
            h.baseNamed = true;
            h.baseAt = h.base.at;
            if (tokens.peek().is(",")) {
                h.multiple = true;
                h.error = SyntaxError{tokens.peek().at,
                                      "multiple inheritance: an interface has at most one base "
                                      "in the type library"};
                return h;
            }
        }
    }
    if (!tokens.peek().is("{"))
        h.error = SyntaxError{tokens.peek().at,
                              "expected '{' or ';' after the interface name, "
                              "found " +
                                  describe(tokens.peek())};
    return h;
}

std::optional<SyntaxError> skipBalanced(TokenStream &tokens, const char *open, const char *close) {
    for (size_t depth = 1;;) {
        if (const Token &end = tokens.peek(); end.kind == Tok::End)
            return SyntaxError{end.at,
                               "expected '" + std::string(close) + "', found " + describe(end)};
        Token t = tokens.take();
        if (t.is(open)) ++depth;
        if (t.is(close) && --depth == 0) return std::nullopt;
    }
}

SkippedException parseSkippedException(TokenStream &tokens) {
    SkippedException d;
    d.at = tokens.take().at;
    SyntaxError problem;
    if (!readName(tokens, "an exception name", &d.name, &problem)) {
        d.error = problem;
        return d;
    }
    if (!tokens.accept("{")) {
        d.error = expectedHere(tokens, "{", "after the exception name");
        return d;
    }
    d.error = skipBalanced(tokens, "{", "}");
    if (!d.error && !tokens.accept(";"))
        d.error = expectedHere(tokens, ";", "after the exception's '}'");
    return d;
}

AnnotationList parseAnnotations(TokenStream &tokens, size_t nesting) {
    AnnotationList list;
    list.at = tokens.peek().at;
    auto stop = [&list](Location at, std::string message) {
        list.error = SyntaxError{at, std::move(message)};
        return std::move(list);
    };
    auto expected = [&tokens, &list](const char *punct, const std::string &context) {
        list.error = expectedHere(tokens, punct, context);
        return std::move(list);
    };
    while (tokens.peek().is("@")) {
        Location at = tokens.take().at;
        AnnotationList::Item item;
        SyntaxError problem;
        if (!readName(tokens, "an annotation name", &item.word, &problem))
            return stop(problem.at, problem.message);
        if (item.word == "forward") {
            list.items.push_back(std::move(item));
            continue;
        }
        if (!tokens.accept("(")) return expected("(", "after @" + item.word);
        const Token &v = tokens.peek();
        item.at = v.at;
        if (item.word == "id") {
            if (v.kind != Tok::String) return stop(v.at, "@id expects a string");
            item.text = tokens.take().text;
        } else if (item.word == "version") {
            size_t dot = v.text.find('.');
            if (v.kind != Tok::Float || dot == std::string::npos ||
                v.text.find_first_not_of("0123456789.") != std::string::npos)
                return stop(v.at, "@version expects MAJOR.MINOR, like 1.2");
            item.text = tokens.take().text;
        } else if (item.word == "flags") {
            item.flags = parseExpression(tokens, {nesting, false});
            if (endsInError(*item.flags)) {
                list.items.push_back(std::move(item));
                return list;
            }
        } else {
            std::string message = "unknown annotation @" + item.word;
            if (auto close = closest(item.word, {"id", "version", "flags", "forward"}))
                message += "; did you mean @" + *close + "?";
            return stop(at, message);
        }
        std::string word = item.word;
        list.items.push_back(std::move(item));
        if (!tokens.accept(")")) return expected(")", "to close @" + word);
    }
    return list;
}

void skipDeclaration(TokenStream &tokens, std::unordered_set<std::string> *declared) {
    size_t depth = 0;
    for (;;) {
        const Token &t = tokens.peek();
        if (t.kind == Tok::End) return;
        if (declared && depth == 0 && (t.kind == Tok::Ident || t.kind == Tok::RawIdent)) {
            const Token &next = tokens.peek(1);
            if (next.is(";") || next.is(",") || next.is("[")) declared->insert(tokens.peek().text);
        }
        const Token &u = tokens.peek();
        if (u.is("{")) {
            ++depth;
        } else if (u.is("}")) {
            if (depth == 0) return;
            if (--depth == 0) {
                tokens.take();
                tokens.accept(";");
                return;
            }
        } else if (u.is(";") && depth == 0) {
            tokens.take();
            return;
        }
        tokens.take();
    }
}

Pragma readPragma(const Token &t) {
    Pragma p;
    p.at = t.at;
    p.name = t.text;
    std::span<const Token> args = RepositoryIds::pragmaArgs(t);
    auto malformed = [&p](const char *message) {
        p.kind = Pragma::Malformed;
        p.message = message;
        return p;
    };
    auto number = [&args] {
        return args.size() == 1 && args[0].kind == Tok::Int && args[0].value <= 0xFFFFFFFFu;
    };
    if (t.text == "prefix") {
        if (args.size() != 1 || args[0].kind != Tok::String)
            return malformed("#pragma prefix expects a string");
        p.kind = Pragma::Prefix;
        p.text = args[0].text;
    } else if (t.text == "version" || t.text == "ID") {
        std::string key, value;
        if (!RepositoryIds::pragmaTarget({}, t, &key, &value))
            return malformed(t.text == "ID" ? "#pragma ID expects NAME \"ID\""
                                            : "#pragma version expects NAME MAJOR.MINOR");
        p.kind = Pragma::Naming;
    } else if (t.text == "root_flags") {
        if (!number() || (static_cast<uint32_t>(args[0].value) & ~kCallerFlags))
            return malformed("#pragma root_flags expects flags in bits 16 to 31");
        p.kind = Pragma::RootFlags;
        p.number = static_cast<uint32_t>(args[0].value);
    } else if (t.text == "next_local_id") {
        if (!number()) return malformed("#pragma next_local_id expects a number");
        p.kind = Pragma::NextLocalId;
        p.number = static_cast<uint32_t>(args[0].value);
    } else {
        p.message = "unknown #pragma " + quoted(t.text) + " ignored";
        if (auto close =
                closest(t.text, {"prefix", "version", "ID", "once", "root_flags", "next_local_id"}))
            p.message += "; did you mean " + quoted(*close) + "?";
    }
    return p;
}

}  // namespace kivtool::idl
