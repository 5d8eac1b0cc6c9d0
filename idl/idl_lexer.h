// SPDX-License-Identifier: Apache-2.0
// Tokens of IDL text after the preprocessor: includes, simple macros, conditionals, pragmas.
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
    std::string text;       // identifier, punctuation, literal bytes, number as written
    U128 value = 0;         // Int (and Char: the code)
    bool overflow = false;  // Int beyond 128 bits
    bool wide = false;      // L'x', L"x"
    std::vector<Token> args;

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
    bool open(const std::string &path);
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
    };
    struct Conditional {
        bool active;
        bool parentActive;
        bool sawElse;
        Location at;
    };

    bool push(uint32_t file);
    Token scan();
    Token scanRaw(FileState &f);
    void directive(FileState &f, Location at);
    std::vector<Token> restOfLine(FileState &f);
    void skipLine(FileState &f);
    void skipSpace(FileState &f, bool newlines);
    bool active() const { return conditionals_.empty() || conditionals_.back().active; }
    int peekChar(const FileState &f, size_t ahead = 0) const;
    int getChar(FileState &f);
    bool escape(FileState &f, std::string &out, bool wide, Location at);
    void include(FileState &f, const std::string &text, Location at);

    SourceSet &sources_;
    Diagnostics &diagnostics_;
    PreprocessorOptions options_;
    std::vector<FileState> files_;
    std::vector<Conditional> conditionals_;
    std::map<std::string, std::vector<Token>> macros_;
    std::set<uint32_t> once_;
    struct Pending {
        Token token;
        int depth;
    };
    std::deque<Pending> pending_;
};

}  // namespace kivtool::idl
