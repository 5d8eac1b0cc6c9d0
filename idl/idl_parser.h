// SPDX-License-Identifier: Apache-2.0
// Reading IDL tokens into syntax: the token stream with its lookahead, names, constant
// expressions, types, parts of declarations, annotations and pragmas (the last three in
// idl_declarations.cpp). Nothing here looks a name up or computes a value.
#pragma once

#include <deque>
#include <string>
#include <unordered_set>
#include <vector>

#include "idl_ast.h"
#include "idl_lexer.h"

namespace kivtool::idl {

// The preprocessor's tokens with as much lookahead as the grammar needs.
class TokenStream {
  public:
    TokenStream(Preprocessor &pp, Diagnostics &diags) : pp_(pp), diags_(diags) {}
    // Throws Abort once the error limit is reached while reading ahead.
    const Token &peek(size_t ahead = 0) {
        while (tokens_.size() <= ahead) {
            tokens_.push_back(pp_.next());
            if (diags_.full()) throw Abort{};
        }
        return tokens_[ahead];
    }
    Token take();
    bool accept(const char *punct);
    bool acceptWord(const char *word);
    // Takes the first '>' of a '>>' that closes two lists, leaving the second.
    bool splitShift();
    void clear() { tokens_.clear(); }
    // From here on, each name taken that is followed by ';', ',' or '[' goes to `names` (what
    // skipping the rest of a declaration takes as the names it declares), up to finishNames().
    void collectNames(DeclaredNames *names) {
        names_ = names;
        lastWasName_ = false;
    }
    void finishNames();
    size_t taken() const { return taken_; }

  private:
    Preprocessor &pp_;
    Diagnostics &diags_;
    std::deque<Token> tokens_;
    DeclaredNames *names_ = nullptr;
    size_t taken_ = 0;
    std::string lastName_;
    bool lastWasName_ = false;
};

// How a token is named in "found ..." messages.
std::string describe(const Token &t);

// "expected 'PUNCT' CONTEXT, found ..." at the next token.
SyntaxError expectedHere(TokenStream &tokens, const char *punct, const std::string &context);

// A simple name: an identifier that is no keyword, `_keyword` or `quoted text`; on failure
// false with the error (at the token, which is not taken).
bool readName(TokenStream &tokens, const std::string &what, std::string *name, SyntaxError *error);

// A scoped name (`A::B`, `::A`), each part read as by readName.
bool readScopedName(TokenStream &tokens, const std::string &what, ScopedName *name,
                    SyntaxError *error);

struct ExpressionContext {
    size_t nesting = 0;    // levels of nesting around the expression
    bool inBound = false;  // a sequence or string bound: '>>' closes, never shifts
};

// Reads a constant expression. A syntax error ends the tree with an Error node where reading
// stopped; the tokens after it are not taken.
ExprPtr parseExpression(TokenStream &tokens, const ExpressionContext &context);

// Whether reading stopped at a syntax error inside this tree.
bool endsInError(const Expr &e);

// Reads a type (`void` included). Reading stops at a syntax error, kept in the node where it
// was met; `nesting` as for expressions.
TypeExprPtr parseType(TokenStream &tokens, size_t nesting);

// Whether reading stopped at a syntax error inside this type.
bool endsInError(const TypeExpr &e);

// Reads a constant definition from its `const` keyword.
ConstDecl parseConstant(TokenStream &tokens, size_t nesting);

// Array lengths `[N][M]...` after a declarator. False when reading stopped at a syntax error:
// in `error`, or in the expression of the last length.
bool parseLengths(TokenStream &tokens, size_t nesting, ArrayLengths *lengths,
                  std::optional<SyntaxError> *error);

// Declarators: names (each `what`) with array lengths; with `closes`, up to the closing ';'
// of a typedef.
Declarators parseDeclarators(TokenStream &tokens, size_t nesting, const char *what, bool closes);

// Reads an operation from its result type up to the ')' after its parameters.
OperationDecl parseOperation(TokenStream &tokens, size_t nesting);

// Reads a union case's labels, type and declarator, up to (not taking) its ';'.
UnionCase parseUnionCase(TokenStream &tokens, size_t nesting);

// Reads the enumerators of an enumeration, up to (not taking) its '}'.
Enumerators parseEnumerators(TokenStream &tokens, size_t nesting);

// Reads the head of a structure, union or enumeration from its keyword; with `nameGiven`, it
// is written without a name (`typedef struct {...} X;`).
TypeHead parseTypeHead(TokenStream &tokens, size_t nesting, bool nameGiven);

// Reads the head of a module or interface from its keyword.
ScopeHead parseScopeHead(TokenStream &tokens);

// Reads an anonymous type given an id, from its `anonymous` keyword (followed by the id).
AnonymousDecl parseAnonymous(TokenStream &tokens, size_t nesting);

// Takes the tokens up to the `close` that matches an `open` already taken, and that one; an
// error when the input ends first.
std::optional<SyntaxError> skipBalanced(TokenStream &tokens, const char *open, const char *close);

// Reads an exception definition from its keyword, its body skipped.
SkippedException parseSkippedException(TokenStream &tokens);

// Reads the annotations (`@id("...")`, `@version(1.2)`, `@flags(EXPR)`, `@forward`) that
// stand before a declaration, if any.
AnnotationList parseAnnotations(TokenStream &tokens, size_t nesting);

// Reads a whole file: its definitions, with the bodies of modules, interfaces, structures,
// unions and enumerations. With `skipUnstorable`, exceptions, `raises` clauses and `oneway`
// are read to be left out; otherwise they are read as refused constructs.
std::vector<Decl> parseDefinitions(TokenStream &tokens, bool skipUnstorable);

// After an error: skips to the end of the current declaration, over balanced braces. With
// `declared`, the names the rest of the declaration declares (a name before ';', ',' or '[')
// are added to it.
void skipDeclaration(TokenStream &tokens, std::unordered_set<std::string> *declared);

// What a `#pragma` token asks for, and whether it is well formed.
Pragma readPragma(const Token &t);

}  // namespace kivtool::idl
