// SPDX-License-Identifier: Apache-2.0
// Reading a whole IDL file into syntax: its definitions and the bodies of modules, interfaces,
// structures, unions and enumerations. A syntax error ends the declaration it is in, and
// reading resumes where the grammar says that declaration ends: after its ';', or after the
// braces of a body. An enumeration's list, which has no ';' of its own, resumes at its '}';
// a ';' missing after a body's '}' is reported, and reading goes on after the '}'.
#include "idl_checks.h"
#include "idl_emitter.h"
#include "idl_parser.h"
#include "idl_text.h"

namespace kivtool::idl {

namespace {

bool stopped(const TypeHead &h) {
    return h.error || (h.discriminator && endsInError(*h.discriminator));
}

bool stopped(const Declarators &d) {
    return d.error || (!d.list.empty() && !d.list.back().done);
}

bool stopped(const Enumerators &d) {
    return d.error || (!d.list.empty() && d.list.back().value && endsInError(*d.list.back().value));
}

bool stopped(const AnnotationList &list) {
    return list.error || (!list.items.empty() && list.items.back().flags &&
                          endsInError(*list.items.back().flags));
}

class DefinitionReader {
  public:
    DefinitionReader(TokenStream &tokens, bool skipUnstorable)
        : tokens_(tokens), skipUnstorable_(skipUnstorable) {}

    std::vector<Decl> file() { return body(Body::File); }

  private:
    enum class Body { File, Module, Interface, Struct, Union };

    const Token &peek(size_t ahead = 0) { return tokens_.peek(ahead); }

    // The declarations up to the '}' that closes the body (not taken), or the end of input.
    std::vector<Decl> body(Body where) {
        std::vector<Decl> list;
        while (!stopped_) {
            const Token &t = peek();
            if (t.kind == Tok::End) break;
            if (t.is("}")) {
                if (where != Body::File) break;
                Decl &d = list.emplace_back();
                d.kind = Decl::Stray;
                d.at = tokens_.take().at;
                d.complete = true;
                continue;
            }
            Decl &d = list.emplace_back();
            d.annotations = parseAnnotations(tokens_, nesting_);
            d.at = peek().at;
            if (!stopped(d.annotations)) declaration(where, d);
            if (!d.complete && !stopped_) skipDeclaration(tokens_, &d.skipped);
        }
        return list;
    }

    void declaration(Body where, Decl &d) {
        const Token &t = peek();
        bool definitions = where == Body::File || where == Body::Module;
        if (definitions || where == Body::Interface) {
            if (t.kind == Tok::Pragma) {
                d.kind = Decl::Pragma;
                d.pragma = tokens_.take();
                d.complete = true;
                return;
            }
            if (t.is(";")) {
                d.kind = Decl::Empty;
                tokens_.take();
                d.complete = true;
                return;
            }
        }
        if (definitions) return definition(d);
        if (where == Body::Interface) return exportDeclaration(d);
        if (where == Body::Struct) return member(d);
        return unionCase(d);
    }

    // `struct`, `union` or `enum` that defines a type (not `struct "ID"`, a reference).
    bool atConstructed() {
        const Token &t = peek();
        return (t.isWord("struct") || t.isWord("union") || t.isWord("enum")) &&
               peek(1).kind != Tok::String;
    }

    void definition(Decl &d) {
        const Token &t = peek();
        if (t.kind == Tok::Ident) {
            if (t.text == "module" || t.text == "interface") return scope(d);
            if (t.text == "struct" || t.text == "union" || t.text == "enum") {
                d.kind = Decl::Constructed;
                if (constructed(d, false, "")) d.complete = true;
                return;
            }
            if (t.text == "const") return constant(d);
            if (t.text == "typedef") return alias(d);
            if (t.text == "anonymous" && peek(1).kind == Tok::String) {
                d.kind = Decl::Anonymous;
                d.anonymous = std::make_unique<AnonymousDecl>(parseAnonymous(tokens_, nesting_));
                d.complete = d.anonymous->complete;
                return;
            }
            if (t.text == "exception" && skipUnstorable_) return exception(d);
            if (unsupported(t.text)) {
                d.kind = Decl::Refused;
                d.refusedWord = t.text;
                for (size_t ahead = 1; ahead < 4; ++ahead)
                    if (peek(ahead).kind == Tok::Ident && !isKeyword(peek(ahead).text)) {
                        d.refusedName = peek(ahead).text;
                        break;
                    }
                return;
            }
        }
        std::string message =
            "expected a definition (module, interface, struct, union, enum, "
            "const, typedef), found " +
            describe(t);
        if (t.kind == Tok::Ident)
            if (auto close = closest(
                    t.text, {"module", "interface", "struct", "union", "enum", "const", "typedef"}))
                message += "; did you mean " + quoted(*close) + "?";
        d.error = SyntaxError{t.at, message};
    }

    void exportDeclaration(Decl &d) {
        const Token &t = peek();
        bool rawType = peek(1).kind == Tok::String;  // `struct "ID"` is a type, not a definition
        if (!rawType) {
            if (t.isWord("struct") || t.isWord("union") || t.isWord("enum")) {
                d.kind = Decl::Constructed;
                if (constructed(d, false, "")) d.complete = true;
                return;
            }
            if (t.isWord("typedef")) return alias(d);
        }
        if (t.isWord("const")) return constant(d);
        if (t.isWord("exception") && skipUnstorable_) return exception(d);
        if ((t.isWord("interface") && !rawType) || t.isWord("module")) {
            d.error = SyntaxError{t.at, "a " + t.text + " cannot be defined inside an interface"};
            return;
        }
        d.readonly = tokens_.acceptWord("readonly");
        if (d.readonly && !peek().isWord("attribute")) {
            d.kind = Decl::Attribute;
            d.error = SyntaxError{peek().at, "expected 'attribute' after 'readonly'"};
            return;
        }
        if (tokens_.acceptWord("attribute")) return attribute(d);
        operation(d);
    }

    void attribute(Decl &d) {
        d.kind = Decl::Attribute;
        d.type = parseType(tokens_, nesting_);
        if (endsInError(*d.type)) return;
        d.declarators = parseDeclarators(tokens_, nesting_, "an attribute name", false);
        if (stopped(d.declarators)) return;
        while (peek().isWord("getraises") || peek().isWord("setraises"))
            if (!raises(d)) return;
        closeWith(d, "after the attribute");
    }

    void operation(Decl &d) {
        d.kind = Decl::Operation;
        if (peek().isWord("oneway") && skipUnstorable_) d.oneway = tokens_.take().at;
        d.operation = std::make_unique<OperationDecl>(parseOperation(tokens_, nesting_));
        if (!d.operation->complete) return;
        if (peek().isWord("raises") && !raises(d)) return;
        if (peek().isWord("context")) {
            d.context = peek().at;
            return;
        }
        closeWith(d, "after the operation");
    }

    // A `raises`, `getraises` or `setraises` clause: the names in its parentheses are taken
    // unread. A ';' or a brace before the ')' ends it, so that a missing ')' costs only
    // this declaration.
    bool raises(Decl &d) {
        RaisesClause &c = d.raises.emplace_back();
        c.word = tokens_.take();
        if (!tokens_.accept("(")) {
            c.error = expectedHere(tokens_, "(", "after " + quoted(c.word.text));
            return false;
        }
        while (!tokens_.accept(")")) {
            const Token &t = peek();
            if (t.kind == Tok::End || t.is(";") || t.is("{") || t.is("}")) {
                c.error = expectedHere(tokens_, ")", "to close the list of exceptions");
                return false;
            }
            tokens_.take();
        }
        return true;
    }

    void closeWith(Decl &d, const char *context) {
        if (tokens_.accept(";"))
            d.complete = true;
        else
            d.error = expectedHere(tokens_, ";", context);
    }

    void constant(Decl &d) {
        d.kind = Decl::Constant;
        d.constant = std::make_unique<ConstDecl>(parseConstant(tokens_, nesting_));
        d.complete = d.constant->complete;
    }

    void exception(Decl &d) {
        d.kind = Decl::Exception;
        d.exception = std::make_unique<SkippedException>(parseSkippedException(tokens_));
        d.complete = !d.exception->error;
    }

    // `typedef TYPE NAME...;`; `typedef struct S {...} T;` defines S too. A type without a
    // name of its own, or with the typedef's name (`typedef struct {...} T;`), is named T.
    void alias(Decl &d) {
        d.kind = Decl::Typedef;
        tokens_.take();
        if (atConstructed()) {
            bool unnamed = peek(1).is("{") || peek(1).isWord("switch");
            std::string declarator = declaratorAfterBody();
            if (unnamed || (peek(1).kind == Tok::Ident && peek(1).text == declarator))
                d.definedAs = declarator;
            if (!constructed(d, true, unnamed ? d.definedAs : "")) return;
        } else {
            d.type = parseType(tokens_, nesting_);
            if (endsInError(*d.type)) return;
        }
        d.declarators = parseDeclarators(tokens_, nesting_, "a typedef name", true);
        d.complete = d.declarators.complete;
    }

    // The first name after the body that starts at the next '{' (the type's declarator in
    // `typedef struct {...} NAME;`); empty when there is none.
    std::string declaratorAfterBody() {
        size_t depth = 0;
        for (size_t ahead = 1;; ++ahead) {
            const Token &t = peek(ahead);
            if (t.kind == Tok::End) return "";
            if (t.is("{")) {
                ++depth;
            } else if (t.is("}") && depth > 0 && --depth == 0) {
                const Token &after = peek(ahead + 1);
                return after.kind == Tok::Ident || after.kind == Tok::RawIdent ? after.text : "";
            }
        }
    }

    void member(Decl &d) {
        d.kind = Decl::Member;
        if (atConstructed()) {
            if (!constructed(d, true, "")) return;
            if (tokens_.accept(";")) {  // a nested definition, no member
                d.definesOnly = true;
                d.complete = true;
                return;
            }
        } else {
            d.type = parseType(tokens_, nesting_);
            if (endsInError(*d.type)) return;
        }
        d.declarators = parseDeclarators(tokens_, nesting_, "a member name", false);
        if (stopped(d.declarators)) return;
        closeWith(d, "after the structure member");
    }

    void unionCase(Decl &d) {
        if (atConstructed()) {
            d.kind = Decl::Constructed;
            if (constructed(d, false, "")) d.complete = true;
            return;
        }
        d.kind = Decl::Case;
        d.unionCase = std::make_unique<UnionCase>(parseUnionCase(tokens_, nesting_));
        if (d.unionCase->complete) closeWith(d, "after the union case");
    }

    // A structure, union or enumeration into `d.constructed`; with `asType`, declarators
    // follow its '}' instead of ';'. False when reading stopped at an error, or (`d` then
    // complete) when the rest of a broken enumeration up to a ';' ended the declaration.
    bool constructed(Decl &d, bool asType, const std::string &givenName) {
        d.constructed = std::make_unique<ConstructedDecl>();
        ConstructedDecl &c = *d.constructed;
        const Token &t = peek();
        c.which = t.isWord("struct")  ? ConstructedDecl::Struct
                  : t.isWord("union") ? ConstructedDecl::Union
                                      : ConstructedDecl::Enum;
        c.keyword = t.at;
        c.givenName = givenName;
        c.head = parseTypeHead(tokens_, nesting_, !givenName.empty());
        if (stopped(c.head)) return false;
        const std::string name = quoted(c.head.named ? c.head.name : givenName);
        if (c.which == ConstructedDecl::Enum) {
            if (!tokens_.accept("{")) {
                c.open = expectedHere(tokens_, "{", "after the enumeration name");
                return false;
            }
            if (!enumerators(c, name)) {
                d.complete = true;
                return false;
            }
        } else {
            bool isStruct = c.which == ConstructedDecl::Struct;
            if (!tokens_.accept("{")) {
                c.open = expectedHere(
                    tokens_, "{", isStruct ? "after the structure name" : "to open the union body");
                return false;
            }
            if (!nest(c.open, c.head.at)) return false;
            c.body = body(isStruct ? Body::Struct : Body::Union);
            --nesting_;
            if (stopped_) return false;
            if (!tokens_.accept("}")) {
                c.close = expectedHere(
                    tokens_, "}",
                    std::string(isStruct ? "to close structure " : "to close union ") + name);
                return false;
            }
        }
        // A ';' left out after the '}' costs nothing more: reading goes on after the '}'.
        if (!asType && !tokens_.accept(";"))
            c.end =
                expectedHere(tokens_, ";",
                             c.which == ConstructedDecl::Struct  ? "after the structure's '}'"
                             : c.which == ConstructedDecl::Union ? "after the union's '}'"
                                                                 : "after the enumeration's '}'");
        return true;
    }

    // The enumerators up to and with the '}'. After a syntax error in the list, its rest is
    // skipped up to the '}'; false when a ';' ended the whole definition first.
    bool enumerators(ConstructedDecl &c, const std::string &name) {
        c.enumerators = parseEnumerators(tokens_, nesting_);
        if (!stopped(c.enumerators) && tokens_.accept("}")) return true;
        if (!stopped(c.enumerators))
            c.close = expectedHere(tokens_, "}", "to close enumeration " + name);
        skipDeclaration(tokens_, nullptr);
        return tokens_.accept("}");
    }

    // `module NAME {...};`, `interface NAME [: BASE] {...};` or `interface NAME;`.
    void scope(Decl &d) {
        bool isModule = peek().isWord("module");
        d.kind = isModule ? Decl::Module : Decl::Interface;
        d.scope = std::make_unique<ScopeDecl>();
        ScopeDecl &s = *d.scope;
        s.head = parseScopeHead(tokens_);
        if (!s.head.named) return;
        if (isModule) {
            if (!tokens_.accept("{")) {
                s.open = expectedHere(tokens_, "{", "after the module name");
                return;
            }
        } else {
            if (s.head.forward) {
                tokens_.take();  // ';'
                d.complete = true;
                return;
            }
            if (s.head.error) return;
            tokens_.take();  // '{'
        }
        if (!nest(s.open, s.head.at)) return;
        s.body = body(isModule ? Body::Module : Body::Interface);
        --nesting_;
        if (stopped_) return;
        const char *what = isModule ? "module" : "interface";
        if (!tokens_.accept("}")) {
            s.close = expectedHere(tokens_, "}",
                                   std::string("to close ") + what + " " + quoted(s.head.name));
            return;
        }
        if (!tokens_.accept(";"))
            s.end = expectedHere(tokens_, ";", std::string("after the ") + what + "'s '}'");
        d.complete = true;
    }

    // Enters a body; past the deepest nesting, reading ends with the error in `slot`.
    bool nest(std::optional<SyntaxError> &slot, Location at) {
        if (++nesting_ <= kMaxNesting) return true;
        slot = SyntaxError{at, "nested more than " + std::to_string(kMaxNesting) + " levels deep",
                           false, true};
        stopped_ = true;
        return false;
    }

    TokenStream &tokens_;
    bool skipUnstorable_;
    size_t nesting_ = 0;
    bool stopped_ = false;  // nested too deeply: nothing more is read
};

}  // namespace

std::vector<Decl> parseDefinitions(TokenStream &tokens, bool skipUnstorable) {
    return DefinitionReader(tokens, skipUnstorable).file();
}

}  // namespace kivtool::idl
