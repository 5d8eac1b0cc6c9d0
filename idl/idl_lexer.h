// SPDX-License-Identifier: Apache-2.0
// Tokens of IDL text after the preprocessor: includes, object-like macros, conditionals with
// integer expressions, pragmas.
#pragma once

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "idl_source.h"

namespace kivtool::idl {

__extension__ typedef unsigned __int128 U128;

enum class Tok {
    End,
    Ident,     // a plain identifier (may be a keyword)
    RawIdent,  // `_name` or `any text`: an identifier that is never a keyword
    Int,
    Float,
    Char,
    String,
    Punct,
    Pragma,  // #pragma NAME ARGS...: text holds NAME, args the rest of the line
};

struct Token {
    Tok kind = Tok::End;
    Location at;
    std::string text;         // identifier, punctuation, literal bytes, number as written
    U128 value = 0;           // Int (and Char: the code)
    bool overflow = false;    // Int beyond 128 bits
    bool wide = false;        // L'x', L"x"
    bool underscore = false;  // RawIdent written `_text`: the spelling macros know it by
    bool synthetic = false;   // made by the preprocessor (the prefix pragmas around #include)
    std::vector<Token> args;

    // The identifier as written, for macro names; empty for other tokens.
    std::string spelling() const;

    bool is(const char *punct) const { return kind == Tok::Punct && text == punct; }
    bool isWord(const char *word) const { return kind == Tok::Ident && text == word; }
};

struct PreprocessorOptions {
    std::vector<std::string> includeDirs;
    std::vector<std::pair<std::string, std::string>> defines;  // -D NAME=VALUE
};

class Preprocessor {
  public:
    Preprocessor(SourceSet &sources, Diagnostics &diagnostics, PreprocessorOptions options);
    // Starts reading a top-level file (after the previous one ended).
    // False when the file cannot be read: failure() says why.
    bool open(const std::string &path);
    const std::string &failure() const { return sources_.failure(); }
    bool openText(const std::string &name, std::string text);
    Token next();

  private:
    struct FileState {
        uint32_t file;
        size_t pos = 0;
        uint32_t line = 1;
        uint32_t column = 1;
        size_t conditionals = 0;  // depth of the conditional stack when the file began
        bool lineStart = true;
        // `#pragma prefix` belongs to the file that sets it: an included file starts without
        // one (a reset before its first token) and the includer's comes back after it.
        bool resetPrefix = false;
        std::string includerPrefix{};
        Location includedAt{};
    };
    struct Conditional {
        bool active;
        bool taken;  // a branch was active already, or the whole chain is switched off
        bool sawElse;
        Location at;
        std::string directive;  // "if", "ifdef" or "ifndef", for messages
    };

    bool push(uint32_t file, Location includedAt);
    Token scan();
    // What a directive's text may hold beyond IDL: C's operators in macro bodies, and also
    // C's integer suffixes (1UL) in conditions.
    enum class Syntax { Idl, Macro, Condition };
    Token scanRaw(FileState &f, Syntax syntax = Syntax::Idl);
    void directive(FileState &f, Location at);
    void conditional(FileState &f, const std::string &name, Location at);
    bool condition(FileState &f, Location at);
    std::vector<Token> restOfLine(FileState &f, Syntax syntax = Syntax::Idl);
    std::string textOfLine(FileState &f);
    void skipLine(FileState &f);
    void skipSpace(FileState &f, bool newlines);
    bool active() const { return conditionals_.empty() || conditionals_.back().active; }
    int peekChar(const FileState &f, size_t ahead = 0) const;
    int getChar(FileState &f);
    bool escape(FileState &f, std::string &out, bool wide, Location at);
    void include(FileState &f, const std::string &text, Location at);
    void pragma(FileState &f, std::vector<Token> args, Location at);
    void queue(Token t);
    void beforeFirstToken(FileState &f);
    Token prefixPragma(const std::string &prefix, Location at) const;
    void trackScopes(const Token &t);
    bool inScope() const { return braces_.empty() || braces_.back().scope; }
    const std::vector<Token> *macro(const Token &t) const;

    SourceSet &sources_;
    Diagnostics &diagnostics_;
    PreprocessorOptions options_;
    std::vector<FileState> files_;
    std::vector<Conditional> conditionals_;
    std::map<std::string, std::vector<Token>> macros_;
    std::set<uint32_t> once_;
    struct Pending {
        Token token;
        int depth;  // macro expansions that produced it; directives' tokens are not expanded
    };
    std::deque<Pending> pending_;
    std::string expanding_;  // the macro used in the source whose expansion goes on
    size_t expanded_ = 0;    // tokens it has produced
    size_t totalExpanded_ = 0;
    bool expansionsExhausted_ = false;
    size_t includes_ = 0;
    // The prefix the compiler holds after the tokens handed out so far, and for each open
    // '{' what it holds again at the '}' (it restores its prefix when a module or interface
    // ends) and whether definitions and pragmas may appear inside (not in a struct's members).
    std::string prefix_;
    struct Brace {
        std::string prefix;
        bool scope;
    };
    std::vector<Brace> braces_;
    std::string opener_;  // the last keyword that may open a body, since the last ';' or brace
};

}  // namespace kivtool::idl
