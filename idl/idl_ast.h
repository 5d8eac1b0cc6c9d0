// SPDX-License-Identifier: Apache-2.0
// The syntax tree of IDL text: what was written, with where it was written, before any name
// is looked up or any value computed.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "idl_constants.h"
#include "idl_lexer.h"
#include "idl_scopes.h"
#include "idl_source.h"

namespace kivtool::idl {

struct ParseError {};  // reported; recover at the next ';' or '}'
struct Abort {};       // too many errors, or the text nested too deeply

// A syntax error found while reading, kept in the tree where reading stopped so that the
// problems of what was read before it are reported first, in the order of the text.
struct SyntaxError {
    Location at;
    std::string message;
    bool refusal = false;  // a construct the library cannot hold
    bool abort = false;    // the text is nested too deeply: the compile ends
};

// A constant expression.
struct Expr {
    Expr() = default;
    ~Expr();
    Expr(const Expr &) = delete;
    Expr &operator=(const Expr &) = delete;

    enum Kind { Literal, Name, Unary, Binary, Error } kind = Literal;
    Location at;       // the operator of Unary and Binary; the first token otherwise
    Val value;         // Literal
    ScopedName name;   // Name
    bool raw = false;  // Name: its first part was written as `_name` or quoted
    std::string op;    // Unary and Binary
    std::unique_ptr<Expr> left, right;  // Unary: left only
    SyntaxError error;                  // Error
};
using ExprPtr = std::unique_ptr<Expr>;

// A long chain of operators is a tree as deep as the chain on its left: it is taken apart in
// a loop, not by recursion.
inline Expr::~Expr() {
    while (left) {
        ExprPtr child = std::move(left);
        left = std::move(child->left);
    }
}

// A type as written: names not yet looked up, bounds not yet computed.
struct TypeExpr {
    enum Kind { Fixed, Void, String, Sequence, Named } kind = Fixed;
    Location at;
    TypePtr fixed;                      // Fixed: a basic type, or one given by id (`struct "ID"`)
    bool wide = false;                  // String
    ExprPtr bound;                      // String (always), Sequence (when given)
    std::unique_ptr<TypeExpr> element;  // Sequence
    ScopedName name;                    // Named
    std::optional<SyntaxError> error;   // reading stopped here, after the parts above
};
using TypeExprPtr = std::unique_ptr<TypeExpr>;

// Names taken after a point of a declaration that a skip over the rest would take as names it
// declares (each followed by ';', ',' or '['), with the number of the token in the input.
using DeclaredNames = std::vector<std::pair<size_t, std::string>>;

// `const TYPE NAME = VALUE;`
struct ConstDecl {
    Location keyword;
    TypeExprPtr type;
    std::string name;
    Location nameAt;
    ExprPtr value;
    std::optional<SyntaxError> error;  // reading stopped here, after the parts above
    bool complete = false;             // read up to its ';'
    DeclaredNames declared;            // after the type
};

using ArrayLengths = std::vector<std::pair<ExprPtr, Location>>;  // each with its '['

// `NAME[LENGTH]...`, one of a list.
struct Declarator {
    std::string name;
    Location at;
    ArrayLengths lengths;
    bool named = false;  // its name was read
    bool done = false;   // and all its lengths
};

// `NAME[...], NAME ...;`
struct Declarators {
    std::vector<Declarator> list;      // the last one may be partly read
    std::optional<SyntaxError> error;  // reading stopped here, after the parts above
    bool complete = false;             // read up to the ';'
    DeclaredNames declared;
};

// A parameter `in TYPE NAME[...]`, with its annotations.
struct ParamDecl;

// The annotations before a declaration, in the order written.
struct AnnotationList {
    struct Item {
        std::string word;  // id, version, flags or forward
        Location at;       // flags: its expression
        std::string text;  // id, version
        ExprPtr flags;
    };
    Location at;
    std::vector<Item> items;
    std::optional<SyntaxError> error;  // reading stopped here, after the items
};

struct ParamDecl {
    AnnotationList annotations;
    Location at;             // the direction
    uint32_t direction = 0;  // 0: not read (a syntax error)
    TypeExprPtr type;
    size_t typeEnd = 0;  // tokens taken when its type ended
    Declarator declarator;
};

// `TYPE NAME(PARAMS)`, up to the ')'.
struct OperationDecl {
    TypeExprPtr result;
    size_t resultEnd = 0;
    std::string name;
    Location at;
    bool named = false;
    std::vector<ParamDecl> params;     // the last one may be partly read
    std::optional<SyntaxError> error;  // reading stopped here, after the parts above
    bool complete = false;             // read up to its ')'
    DeclaredNames declared;
};

// `NAME [= VALUE]`, one of an enumeration's.
struct Enumerator {
    std::string name;
    Location at;
    bool named = false;  // its name was read
    ExprPtr value;       // when given
};

// The enumerators of an enumeration, up to its '}'.
struct Enumerators {
    std::vector<Enumerator> list;      // the last one may be partly read
    std::optional<SyntaxError> error;  // reading stopped here, after the parts above
};

// `case VALUE:` or `default:`, one label of a union case.
struct CaseLabel {
    Location at;
    ExprPtr value;      // none for default
    bool done = false;  // its ':' was read
};

// `LABELS TYPE NAME[...]`, a union case up to its ';'.
struct UnionCase {
    std::vector<CaseLabel> labels;  // the last one may be partly read
    TypeExprPtr type;
    size_t typeEnd = 0;  // tokens taken when its type ended
    Declarator declarator;
    std::optional<SyntaxError> error;  // reading stopped here, after the parts above
    bool complete = false;             // read up to (not taking) its ';'
    DeclaredNames declared;
};

// `struct NAME`, `union NAME switch (TYPE)` or `enum NAME`: the head of a constructed type, up
// to (not taking) the '{' of its body.
struct TypeHead {
    Location at;  // its name, or where the name would be
    std::string name;
    bool named = false;                // its name was read (a typedef may give it one instead)
    bool forward = false;              // a ';' follows the name: the error says why that fails
    bool switched = false;             // union: 'switch' was read
    TypeExprPtr discriminator;         // union: its type, once '(' was read
    std::optional<SyntaxError> error;  // reading stopped here, after the parts above
};

// `module NAME` or `interface NAME [: BASE]`, up to (not taking) the '{' of its body or the
// ';' of a forward declaration.
struct ScopeHead {
    Location keyword;
    Location at;  // its name
    std::string name;
    bool named = false;
    bool forward = false;  // interface: a ';' follows the name
    bool based = false;    // interface: ':' was read
    bool byId = false;     // the base was given by id: `: interface "ID"`
    std::string baseId;
    Location baseAt;
    ScopedName base;                   // a base given by name, once read
    bool baseNamed = false;            // and read in full
    bool multiple = false;             // a ',' follows the base: the error says why that fails
    std::optional<SyntaxError> error;  // reading stopped here, after the parts above
};

// `anonymous "ID" TYPE[LENGTH]...;`
struct AnonymousDecl {
    Location at;  // the id
    std::string id;
    TypeExprPtr type;
    ArrayLengths lengths;
    std::optional<SyntaxError> error;  // reading stopped here, after the parts above
    bool complete = false;             // read up to its ';'
    DeclaredNames declared;            // after the type
};

// `exception NAME { ... };`, read only to be left out.
struct SkippedException {
    Location at;  // the keyword
    std::string name;
    std::optional<SyntaxError> error;  // reading stopped here
};

struct Decl;

// `struct`, `union` or `enum` with its body: a definition, the type of members or typedefs
// declared after it, or a type a typedef names (`typedef struct {...} X;`).
struct ConstructedDecl {
    enum Which { Struct, Union, Enum } which = Struct;
    Location keyword;
    std::string givenName;  // the typedef's name for a type written without one
    TypeHead head;
    std::optional<SyntaxError> open;   // no '{' after the head, or nested too deeply
    std::vector<Decl> body;            // Struct: members and nested definitions; Union: cases
    Enumerators enumerators;           // Enum
    std::optional<SyntaxError> close;  // no '}' at the end of the body
    std::optional<SyntaxError> end;    // no ';' after a definition's '}'
};

// `module NAME { ... };` or `interface NAME [: BASE] { ... };` (or `interface NAME;`).
struct ScopeDecl {
    ScopeHead head;
    std::optional<SyntaxError> open;  // module: no '{' after the name; either: nested too deeply
    std::vector<Decl> body;
    std::optional<SyntaxError> close;  // no '}' at the end of the body
    std::optional<SyntaxError> end;    // no ';' after the '}'
};

// `raises (...)`, `getraises (...)` or `setraises (...)`, read to be refused or left out.
struct RaisesClause {
    Token word;
    std::optional<SyntaxError> error;  // its parentheses did not balance
};

// One declaration of a file, a module, an interface, a structure or a union, with the
// annotations before it. Reading a declaration stops at its first syntax error; the rest of
// it, up to its ';' or over its braces, is then skipped.
struct Decl {
    enum Kind {
        Empty,        // a lone ';'
        Pragma,       // `pragma`
        Module,       // `scope`
        Interface,    // `scope`
        Constructed,  // `constructed`, a definition of its own
        Constant,     // `constant`
        Typedef,      // `constructed` (a type defined in it) or `type`, and `declarators`
        Anonymous,    // `anonymous`
        Exception,    // `exception`, left out
        Refused,      // a construct the library cannot hold: `refusedWord`, `refusedName`
        Stray,        // a '}' with no open scope
        Broken,       // no declaration could be read: `error` says why
        Member,       // a structure member: `constructed` or `type`, and `declarators`
        Case,         // a union case: `unionCase`
        Attribute,    // `type` and `declarators`, `readonly`, `raises`
        Operation,    // `operation`, `oneway`, `raises`, `context`
    } kind = Broken;
    AnnotationList annotations;
    Location at;  // the first token after the annotations
    Token pragma;
    std::string refusedWord;  // Refused: its keyword
    std::string refusedName;
    std::unique_ptr<ScopeDecl> scope;
    std::unique_ptr<ConstructedDecl> constructed;
    std::unique_ptr<ConstDecl> constant;
    std::unique_ptr<AnonymousDecl> anonymous;
    std::unique_ptr<SkippedException> exception;
    std::unique_ptr<UnionCase> unionCase;
    std::unique_ptr<OperationDecl> operation;
    TypeExprPtr type;
    Declarators declarators;
    bool definesOnly = false;  // Member: `constructed` with no declarators after it
    std::string definedAs;     // Typedef: the declarator that names the type defined in it
    bool readonly = false;
    std::optional<Location> oneway;  // left out (--skip-unstorable)
    std::vector<RaisesClause> raises;
    std::optional<Location> context;   // refused; reading stopped there
    std::optional<SyntaxError> error;  // reading stopped here, after the parts above
    bool complete = false;             // read to its end, with no skip after it
    // The names the skip after an error took as declared (a name before ';', ',' or '[').
    std::unordered_set<std::string> skipped;
};

// A `#pragma` the compiler acts on, read and checked for its form.
struct Pragma {
    enum Kind { Prefix, Naming, RootFlags, NextLocalId, Unknown, Malformed } kind = Unknown;
    Location at;
    std::string name;     // as written after #pragma
    std::string text;     // Prefix: the prefix
    uint32_t number = 0;  // RootFlags, NextLocalId
    std::string message;  // Malformed: the error; Unknown: the warning
};

}  // namespace kivtool::idl
